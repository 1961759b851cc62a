#include "platform/Bundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace kivo::bundle {

namespace detail {
extern const char* const kExecutable;
extern const char* const kDisplayName;
extern const char* const kIdentifier;
extern const char* const kShortVersion;
extern const char* const kCopyright;
} // namespace detail

QVariant infoValue(const QString& key) {
    if (key == QLatin1String("CFBundleExecutable"))
        return QString::fromUtf8(detail::kExecutable);
    if (key == QLatin1String("CFBundleDisplayName") || key == QLatin1String("CFBundleName"))
        return QString::fromUtf8(detail::kDisplayName);
    if (key == QLatin1String("CFBundleIdentifier"))
        return QString::fromUtf8(detail::kIdentifier);
    if (key == QLatin1String("CFBundleShortVersionString"))
        return QString::fromUtf8(detail::kShortVersion);
    if (key == QLatin1String("NSHumanReadableCopyright"))
        return QString::fromUtf8(detail::kCopyright);
    return {};
}

QString identifier() {
    return QString::fromUtf8(detail::kIdentifier);
}

QString displayName() {
    QVariant v = infoValue(QStringLiteral("CFBundleDisplayName"));
    if (!v.isValid())
        v = infoValue(QStringLiteral("CFBundleName"));
    return v.toString();
}

QString pathForResource(const QString& name, const QString& type, const QString& localization) {
    QString path = QStringLiteral(":/resources/");
    if (!localization.isEmpty())
        path += localization + QStringLiteral(".lproj/");
    path += name;
    if (!type.isEmpty())
        path += QLatin1Char('.') + type;
    return QFileInfo::exists(path) ? path : QString();
}

QString executableFolder() {
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
}

QString helperPath(const QString& name) {
    const QString dir = executableFolder();
    for (const QString& candidate : {dir + QLatin1Char('/') + name,
                                     dir + QStringLiteral("/../libexec/KivoUploader/") + name}) {
        if (QFileInfo(candidate).isFile())
            return QFileInfo(candidate).absoluteFilePath();
    }
    return {};
}

QString homeFolder() {
    const QByteArray h = qgetenv("HOME");
    return h.isEmpty() ? QDir::homePath() : QString::fromLocal8Bit(h);
}

namespace {
QString xdg(const char* var, const char* fallback) {
    const QByteArray v = qgetenv(var);
    // Relative values are invalid by the XDG rules and are ignored.
    if (!v.isEmpty() && v.startsWith('/'))
        return QString::fromLocal8Bit(v);
    return homeFolder() + QLatin1Char('/') + QLatin1String(fallback);
}
} // namespace

QString configHome() {
    return xdg("XDG_CONFIG_HOME", ".config");
}
QString stateHome() {
    return xdg("XDG_STATE_HOME", ".local/state");
}
QString dataHome() {
    return xdg("XDG_DATA_HOME", ".local/share");
}

QString expandTilde(const QString& path) {
    if (path == QLatin1String("~"))
        return homeFolder();
    if (path.startsWith(QLatin1String("~/")))
        return homeFolder() + path.mid(1);
    return path;
}

} // namespace kivo::bundle
