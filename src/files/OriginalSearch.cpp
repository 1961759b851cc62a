// Finding the original of a hi-res order: the path it had when it was uploaded, or the same
// path's tails under the alternate folder and its sub-folders.
#include "files/OriginalSearch.h"

#include "files/FolderSweep.h"
#include "files/QDI_FileManager.h"
#include "platform/Console.h"
#include "platform/MacRoman.h"
#include "settings/Preferences.h"

#include <QDir>
#include <QFile>
#include <cctype>
#include <sys/stat.h>

namespace kivo {

namespace {

bool isHexDigit(QChar c) {
    return c.unicode() < 128 && std::isxdigit(c.unicode());
}

enum class Entry { None, Folder, Other };

// As the platform's existence test: links are followed, so a link to a folder is a folder.
Entry entryAt(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (native.isEmpty() || ::stat(native.constData(), &st) != 0)
        return Entry::None;
    return S_ISDIR(st.st_mode) ? Entry::Folder : Entry::Other;
}

// "/" first for an absolute path, then the names; empty names (doubled or trailing slashes)
// are dropped.
QStringList pathComponents(const QString& path) {
    QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (path.startsWith(QLatin1Char('/')))
        parts.prepend(QStringLiteral("/"));
    return parts;
}

QString joinUnder(const QString& folder, const QStringList& tail) {
    const QString rest = tail.join(QLatin1Char('/'));
    return folder.endsWith(QLatin1Char('/')) ? folder + rest : folder + QLatin1Char('/') + rest;
}

} // namespace

std::optional<QString> decodePercentEscapes(const QString& text) {
    QString out;
    out.reserve(text.size());
    QByteArray run; // consecutive escaped bytes, decoded together
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) != QLatin1Char('%')) {
            if (!run.isEmpty()) {
                out += fromUtf8OrMacRoman(run);
                run.clear();
            }
            out += text.at(i);
            continue;
        }
        if (i + 2 >= text.size() || !isHexDigit(text.at(i + 1)) || !isHexDigit(text.at(i + 2)))
            return std::nullopt;
        run += QByteArray::fromHex(text.mid(i + 1, 2).toLatin1());
        i += 2;
    }
    if (!run.isEmpty())
        out += fromUtf8OrMacRoman(run);
    return out;
}

std::optional<QString>
QDI_FileManager::doResolveOriginalPath(const QString& storedPath,
                                       const std::optional<QStringList>& folders) {
    if (!folders || folders->isEmpty())
        return doResolveOriginalPath(storedPath, std::optional<QString>());
    if (!decodePercentEscapes(storedPath)) // no folder search: say so once, not per folder
        return doResolveOriginalPath(storedPath, std::optional<QString>(folders->first()));
    QStringList candidates = *folders;
    const QString& root = folders->first();
    // By name, so which of two copies is found does not depend on the file system.
    const QStringList names = QDir(root).entryList(
        QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString& name : names) {
        const QString sub = joinUnder(root, {name});
        if (entryAt(sub) == Entry::Folder && !isInvisibleFileAtPath2(sub))
            candidates.append(sub);
    }
    for (const QString& folder : candidates)
        if (const auto found = doResolveOriginalPath(storedPath, std::optional<QString>(folder)))
            return found;
    return std::nullopt;
}

std::optional<QString>
QDI_FileManager::doResolveOriginalPath(const QString& storedPath,
                                       const std::optional<QString>& folder) {
    const std::optional<QString> decoded = decodePercentEscapes(storedPath);
    if (!storedPath.isEmpty() && Preferences::getPrefAlwaysSearchOriginalPath()) {
        // A name holding a "%" that starts no escape is still a name: look for it as it is.
        const QString asStored = decoded.value_or(storedPath);
        if (entryAt(asStored) != Entry::None)
            return asStored;
    }
    if (!Preferences::getPrefDoUseGlvHiResAlternatePath1())
        return std::nullopt;
    if (!folder || entryAt(*folder) != Entry::Folder)
        return std::nullopt;
    if (!decoded) {
        consoleLine(QStringLiteral("The stored path [%1] has a malformed percent escape; it is not "
                                   "searched for")
                        .arg(storedPath));
        return std::nullopt;
    }
    QStringList components = pathComponents(*decoded);
    QString candidate = *decoded;
    while (components.size() >= 2) {
        if (entryAt(candidate) == Entry::Other)
            return candidate;
        components.removeFirst();
        candidate = joinUnder(*folder, components);
    }
    return std::nullopt;
}

} // namespace kivo
