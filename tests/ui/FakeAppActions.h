#pragma once
#include "ui/StatusDisplay.h"

#include <QList>
#include <QPair>
#include <QString>

namespace kivo::test {

// Records which action arrived with which sender.
class FakeAppActions : public AppActions {
public:
    QList<QPair<QString, QObject*>> calls;
    QString version = QStringLiteral("1.2.3");
    QString copyright = QStringLiteral("(c) 2024 Quandril");
    QString osVersion = QStringLiteral("6.1.0-18-amd64");

    void ibClickedOnQuit(QObject* sender) override { calls.append({"quit", sender}); }
    void ibClickedOnHalt(QObject* sender) override { calls.append({"halt", sender}); }
    void ibClickedOnOpenPref(QObject* sender) override { calls.append({"openPref", sender}); }
    void ibUserClickedOnSynchronize(QObject* sender) override {
        calls.append({"synchronize", sender});
    }
    QString getAppVersionString() const override { return version; }
    QString getCopyrightString() const override { return copyright; }
    QString getMacOsVersionString() const override { return osVersion; }
};

} // namespace kivo::test
