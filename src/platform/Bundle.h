#pragma once
// Compiled-in bundle information, resources and well-known locations.
#include <QString>
#include <QVariant>

namespace kivo::bundle {

// CFBundleExecutable, CFBundleDisplayName, CFBundleName, CFBundleIdentifier,
// CFBundleShortVersionString, NSHumanReadableCopyright. Invalid QVariant when unknown.
QVariant infoValue(const QString& key);
QString identifier();
QString displayName(); // CFBundleDisplayName, else CFBundleName

// A resource compiled into the program ("FactoryDefault", "plist"); localization selects a
// "<localization>.lproj" folder. Empty when there is no such resource.
QString pathForResource(const QString& name, const QString& type,
                        const QString& localization = QString());

QString executableFolder();
// A helper program next to the executable or in ../libexec/KivoUploader/; empty if missing.
QString helperPath(const QString& name);

// XDG locations; the variables are honoured so tests can point them at temporary folders.
QString configHome();
QString stateHome();
QString dataHome();
QString homeFolder();
QString expandTilde(const QString& path);

} // namespace kivo::bundle
