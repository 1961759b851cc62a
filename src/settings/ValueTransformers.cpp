#include "settings/ValueTransformers.h"

#include "platform/Defaults.h"

#include <QHash>
#include <memory>
#include <mutex>

namespace kivo {

namespace {

const QString kSiteUnknown =
    QStringLiteral("<Site Unknown - Please Fill In Your Login Name Below...>");

struct Registry {
    std::mutex lock;
    // Never removed while the program runs: readers keep plain pointers.
    QHash<QString, std::shared_ptr<ValueTransformer>> byName;
    std::vector<std::shared_ptr<ValueTransformer>> replaced;
};

Registry& registry() {
    static Registry* r = new Registry; // lives until the process ends
    return *r;
}

} // namespace

QVariant LoginNameToFtpNameTransformer::transformedValue(const QVariant& value) const {
    const std::optional<QString> login = Defaults::stringFromValue(value);
    if (!value.isValid() || !login)
        return kSiteUnknown;
    if (login->isEmpty())
        return QStringLiteral("Please Enter Your Login Name...");
    return QStringLiteral("http://%1.%2").arg(*login, kServiceDomain);
}

QVariant ShowSpacesTransformer::transformedValue(const QVariant& value) const {
    const std::optional<QString> text = Defaults::stringFromValue(value);
    if (!value.isValid() || !text)
        return kSiteUnknown;
    if (text->isEmpty())
        return QString();
    return QStringLiteral("[%1]").arg(*text);
}

void setValueTransformer(const QString& name, std::unique_ptr<ValueTransformer> transformer) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    if (auto old = r.byName.value(name))
        r.replaced.push_back(old);
    r.byName.insert(name, std::shared_ptr<ValueTransformer>(std::move(transformer)));
}

const ValueTransformer* valueTransformerForName(const QString& name) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    return r.byName.value(name).get();
}

void registerValueTransformers() {
    setValueTransformer(kLoginNameToFtpName, std::make_unique<LoginNameToFtpNameTransformer>());
    setValueTransformer(kShowSpacesTransformer, std::make_unique<ShowSpacesTransformer>());
}

} // namespace kivo
