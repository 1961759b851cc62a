#include "ui/PrefBinding.h"

#include "platform/Defaults.h"
#include "platform/MainThread.h"
#include "settings/ValueTransformers.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QSpinBox>
#include <algorithm>

namespace kivo {

PrefBinding::PrefBinding(Defaults& store, QObject* parent) : QObject(parent), fStore(store) {}

PrefBinding::~PrefBinding() {
    for (int id : fObservers)
        fStore.removeObserver(id);
}

void PrefBinding::observe(const QString& key, std::function<void()> fn) {
    const QPointer<PrefBinding> self(this);
    // The store calls back on the writing thread; controls are only touched on this one.
    fObservers.push_back(fStore.addObserver(key, [self, fn](const QString&) {
        onMainThread(
            [self, fn] {
                if (self)
                    fn();
            },
            false);
    }));
    fn();
}

void PrefBinding::bindText(QLineEdit* field, const QString& key) {
    const QPointer<QLineEdit> f(field);
    connect(field, &QLineEdit::textEdited, this,
            [this, key](const QString& text) { fStore.setString(key, text); });
    observe(key, [this, f, key] {
        const QString text =
            Defaults::stringFromValue(fStore.objectForKey(key)).value_or(QString());
        // Rewriting the same text would move the cursor of someone typing in it.
        if (f && f->text() != text)
            f->setText(text);
    });
}

void PrefBinding::bindCheck(QAbstractButton* box, const QString& key) {
    const QPointer<QAbstractButton> b(box);
    // clicked, not toggled: only the user's changes are written.
    connect(box, &QAbstractButton::clicked, this,
            [this, key](bool checked) { fStore.setBool(key, checked); });
    observe(key, [this, b, key] {
        if (b)
            b->setChecked(fStore.boolForKey(key));
    });
}

void PrefBinding::bindInteger(QSpinBox* box, const QString& key) {
    const QPointer<QSpinBox> b(box);
    box->setKeyboardTracking(false);
    connect(box, &QSpinBox::valueChanged, this,
            [this, key](int value) { fStore.setInteger(key, value); });
    observe(key, [this, b, key] {
        if (!b)
            return;
        // A value the box cannot show must not be written back clamped.
        const QSignalBlocker quiet(b.data());
        b->setValue(int(std::clamp<qint64>(fStore.integerForKey(key), b->minimum(), b->maximum())));
    });
}

void PrefBinding::bindReal(QDoubleSpinBox* box, const QString& key) {
    const QPointer<QDoubleSpinBox> b(box);
    box->setKeyboardTracking(false);
    connect(box, &QDoubleSpinBox::valueChanged, this,
            [this, key](double value) { fStore.setDouble(key, value); });
    observe(key, [this, b, key] {
        if (!b)
            return;
        const QSignalBlocker quiet(b.data());
        b->setValue(fStore.doubleForKey(key));
    });
}

void PrefBinding::bindChoice(QButtonGroup* group, const QString& key) {
    const QPointer<QButtonGroup> g(group);
    connect(group, &QButtonGroup::idClicked, this,
            [this, key](int id) { fStore.setInteger(key, id); });
    observe(key, [this, g, key] {
        if (!g)
            return;
        if (QAbstractButton* button = g->button(int(fStore.integerForKey(key)))) {
            button->setChecked(true);
        } else if (QAbstractButton* checked = g->checkedButton()) {
            // A value no button stands for: none of them is shown chosen.
            const bool exclusive = g->exclusive();
            g->setExclusive(false);
            checked->setChecked(false);
            g->setExclusive(exclusive);
        }
    });
}

void PrefBinding::bindDisplay(QLabel* label, const QString& key, const QString& transformerName) {
    const QPointer<QLabel> l(label);
    observe(key, [this, l, key, transformerName] {
        if (!l)
            return;
        const QVariant value = fStore.objectForKey(key);
        const ValueTransformer* transformer = valueTransformerForName(transformerName);
        l->setText(transformer ? transformer->transformedValue(value).toString()
                               : Defaults::stringFromValue(value).value_or(QString()));
    });
}

} // namespace kivo
