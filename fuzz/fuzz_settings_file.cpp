// The settings store made over a file holding the input (XML or binary). It never crashes or
// stalls, and never loses the file: a refused one is moved aside whole, a loaded one is left
// as it was, and what was loaded survives being saved and loaded again (or is not saved).
#include "FuzzFile.h"
#include "platform/Defaults.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

using Outcome = kivo::Defaults::LoadReport::Outcome;

[[noreturn]] void fail(const char* what, const QString& detail = {}) {
    std::fprintf(stderr, "fuzz_settings_file: %s %s\n", what, qPrintable(detail));
    std::abort();
}

QByteArray contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// XML keeps whole seconds of a date, and a NaN is equal to nothing.
bool sameValue(const QVariant& a, const QVariant& b) {
    if (a.typeId() == QMetaType::QVariantMap && b.typeId() == QMetaType::QVariantMap) {
        const QVariantMap x = a.toMap(), y = b.toMap();
        if (x.keys() != y.keys())
            return false;
        for (auto it = x.cbegin(); it != x.cend(); ++it) {
            if (!sameValue(it.value(), y.value(it.key())))
                return false;
        }
        return true;
    }
    if (a.typeId() == QMetaType::QVariantList && b.typeId() == QMetaType::QVariantList) {
        const QVariantList x = a.toList(), y = b.toList();
        if (x.size() != y.size())
            return false;
        for (qsizetype i = 0; i < x.size(); ++i) {
            if (!sameValue(x[i], y[i]))
                return false;
        }
        return true;
    }
    if (a.typeId() == QMetaType::QDateTime && b.typeId() == QMetaType::QDateTime)
        return a.toDateTime().toSecsSinceEpoch() == b.toDateTime().toSecsSinceEpoch();
    if (a.typeId() == QMetaType::Double && b.typeId() == QMetaType::Double &&
        std::isnan(a.toDouble()) && std::isnan(b.toDouble()))
        return true;
    return a == b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const QString folder = [] {
        const QString f = QStringLiteral("/tmp/kivo-fuzz-settings-%1").arg(qint64(getpid()));
        QDir().mkpath(f);
        return f;
    }();
    const QString path = folder + QStringLiteral("/settings.plist");
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    kivo::fuzz::writeInput(path, data, size);

    kivo::Defaults store(path, -1);
    const kivo::Defaults::LoadReport& report = store.loadReport();
    switch (report.outcome) {
    case Outcome::Loaded: {
        if (contents(path) != input)
            fail("a loaded file was changed");
        const QVariantMap loaded = store.userValues();
        // Shared values can be too large to save as XML; the file they came from then stays.
        if (!store.synchronize()) {
            if (contents(path) != input)
                fail("a refused save changed the file");
            break;
        }
        kivo::Defaults again(path, -1);
        if (again.loadReport().outcome != Outcome::Loaded)
            fail("saved settings do not load:", again.loadReport().text);
        if (!sameValue(QVariant(again.userValues()), QVariant(loaded)))
            fail("saved settings load differently");
        break;
    }
    case Outcome::TooLarge:
    case Outcome::Corrupt:
        if (report.movedTo.isEmpty() || QFile::exists(path) || contents(report.movedTo) != input)
            fail("a refused file was not moved aside whole:", report.text);
        QFile::remove(report.movedTo);
        break;
    default:
        fail("unexpected outcome:", report.text);
    }
    QFile::remove(path);
    return 0;
}
