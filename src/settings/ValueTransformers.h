#pragma once
// Display forms of setting values, looked up by name by the settings window's bindings.
// Forward only: neither turns a displayed text back into a setting.
#include <QString>
#include <QVariant>
#include <memory>

namespace kivo {

class ValueTransformer {
public:
    virtual ~ValueTransformer() = default;
    // value is the setting as stored (invalid when absent); the answer is text.
    virtual QVariant transformedValue(const QVariant& value) const = 0;
    static bool allowsReverseTransformation() { return false; }
};

// The site address a login name stands for: "http://<login>.<service domain>".
class LoginNameToFtpNameTransformer : public ValueTransformer {
public:
    QVariant transformedValue(const QVariant& value) const override;
};

// The value in square brackets, so leading and trailing spaces show.
class ShowSpacesTransformer : public ValueTransformer {
public:
    QVariant transformedValue(const QVariant& value) const override;
};

// The domain of the photo service's host.
inline const QString kServiceDomain = QStringLiteral("kivo.example");

inline const QString kLoginNameToFtpName = QStringLiteral("LoginNameToFtpName");
inline const QString kShowSpacesTransformer = QStringLiteral("ShowSpacesTransformer");

// Registers (or replaces) a transformer under name; the registry owns it.
void setValueTransformer(const QString& name, std::unique_ptr<ValueTransformer> transformer);
// None when nothing is registered under name.
const ValueTransformer* valueTransformerForName(const QString& name);
// The two above under "LoginNameToFtpName" and "ShowSpacesTransformer". Once, at start.
void registerValueTransformers();

} // namespace kivo
