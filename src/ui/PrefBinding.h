#pragma once
// Controls bound to settings keys: every edit is written to the store at once, and every write
// of a key, wherever it was made (a script, a loaded settings file, another thread), shows in
// its controls on the main thread.
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <vector>

class QAbstractButton;
class QButtonGroup;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QSpinBox;

namespace kivo {

class Defaults;

class PrefBinding : public QObject {
    Q_OBJECT
public:
    explicit PrefBinding(Defaults& store, QObject* parent = nullptr);
    ~PrefBinding() override;

    // Text settings.
    void bindText(QLineEdit* field, const QString& key);
    // Boolean settings.
    void bindCheck(QAbstractButton* box, const QString& key);
    // Integer and real settings; written when the user commits a value.
    void bindInteger(QSpinBox* box, const QString& key);
    void bindReal(QDoubleSpinBox* box, const QString& key);
    // An integer setting chosen among the group's buttons by their ids.
    void bindChoice(QButtonGroup* group, const QString& key);
    // Shown, not edited: the value through the named value transformer (as it is when none is
    // registered under that name).
    void bindDisplay(QLabel* label, const QString& key, const QString& transformerName);

    // Runs fn on the main thread after each write of key (and once now).
    void observe(const QString& key, std::function<void()> fn);

    Defaults& store() const { return fStore; }

private:
    Defaults& fStore;
    std::vector<int> fObservers;
};

} // namespace kivo
