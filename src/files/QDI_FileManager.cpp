#include "files/QDI_FileManager.h"

#include "files/SafeMove.h"
#include "platform/Console.h"
#include "settings/Preferences.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo {

namespace {

thread_local QString tLastFailure;

// Longest file name, in bytes, that Linux file systems take.
constexpr qsizetype kNameMax = 255;

QString joinPath(const QString& folder, const QString& relative) {
    return QDir::cleanPath(folder + QLatin1Char('/') + relative);
}

QString parentOf(const QString& path) {
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QStringLiteral(".");
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

QString lastComponent(const QString& path) {
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

// Anything at all occupies a name, even a link to nothing.
bool occupied(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool isFolder(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

void makeFolder(const QString& path) {
    // Failures show up when the move into it fails.
    QDir().mkpath(path);
}

void reportDestination(bool reached, const QString& destination) {
    const QByteArray text =
        reached ? QByteArrayLiteral("moveFileToPath2 => destination moved/created Successfully\n\n")
                : QStringLiteral("moveFileToPath2 => destination NOT moved or created: %1\n\n")
                      .arg(destination)
                      .toUtf8();
    fwrite(text.constData(), 1, size_t(text.size()), stderr);
    fflush(stderr);
}

void reportMoveFailure(const QString& source, const QString& destination,
                       const safemove::Result& result) {
    consoleLine(QStringLiteral("moveFileToPath2 => movePath Failed???"));
    consoleLine(QStringLiteral("moveFileToPath2 => [%1] -> [%2]: %3: %4")
                    .arg(source, destination, result.operation,
                         QString::fromLocal8Bit(strerror(result.error))));
}

} // namespace

std::optional<QString> getBaseName1(const QString& path) {
    const QString name = lastComponent(path);
    const int underscore = name.indexOf(QLatin1Char('_'));
    if (underscore <= 0)
        return std::nullopt;
    return name.left(underscore);
}

QString createEncapsulationFolder(const QString& destinationRoot, const QString& relativePath,
                                  bool create) {
    const QString parent = parentOf(joinPath(destinationRoot, relativePath));
    const std::optional<QString> base = getBaseName1(relativePath);
    if (!base)
        return parent;
    const QString folder = parent + QLatin1Char('/') + *base;
    if (create)
        makeFolder(folder);
    return folder;
}

bool QDI_FileManager::moveFileToPath(const QString& relativePath, const QString& sourceRoot) {
    return moveFileToPath(relativePath, sourceRoot, true, false);
}

bool QDI_FileManager::moveFileToPath(const QString& relativePath, const QString& sourceRoot,
                                     bool overwrite, bool encapsulate) {
    return moveFileToPath(relativePath, sourceRoot,
                          Preferences::getLocalMasterMirrorSiteFolder().value_or(QString()),
                          overwrite, encapsulate);
}

bool QDI_FileManager::moveFileToPath(const QString& relativePath, const QString& sourceRoot,
                                     const QString& destinationRoot, bool overwrite,
                                     bool encapsulate) {
    return moveFileToPath(relativePath, sourceRoot, destinationRoot, overwrite, encapsulate,
                          QString());
}

bool QDI_FileManager::moveFileToPath(const QString& relativePath, const QString& sourceRoot,
                                     const QString& destinationRoot, bool overwrite,
                                     bool encapsulate, const QString& stamp) {
    // Without a source folder the item's place is unknown: it cannot be filed, and calling it
    // filed would let the next scan send it again.
    tLastFailure.clear();
    if (sourceRoot.isEmpty()) {
        tLastFailure = QStringLiteral("no source folder is set");
        consoleLine(
            QStringLiteral("moveFileToPath2 => no source folder for item [%1]").arg(relativePath));
        return false;
    }
    const QString source = joinPath(sourceRoot, relativePath);
    struct stat st {};
    if (::stat(QFile::encodeName(source).constData(), &st) != 0)
        return true; // nothing to file
    struct stat own {};
    if (::lstat(QFile::encodeName(source).constData(), &own) == 0 && S_ISLNK(own.st_mode)) {
        // A link is no photo of ours: it stays where it is.
        consoleLine(
            QStringLiteral("moveFileToPath2 => [%1] is a symbolic link; not moved").arg(source));
        return true;
    }

    // No destination (no mirror folder set): never guess one relative to the working folder.
    if (destinationRoot.isEmpty()) {
        tLastFailure = QStringLiteral("no destination folder is set");
        consoleLine(QStringLiteral("moveFileToPath2 => movePath Failed???"));
        reportDestination(false, QString());
        return false;
    }
    makeFolder(destinationRoot);

    if (S_ISDIR(st.st_mode)) {
        const QString folder = joinPath(destinationRoot, relativePath);
        makeFolder(folder);
        const bool made = isFolder(folder);
        reportDestination(made, folder);
        return made;
    }

    const QString filed = stampedPath(relativePath, stamp);
    const QString destination =
        encapsulate ? createEncapsulationFolder(destinationRoot, relativePath, true) +
                          QLatin1Char('/') + lastComponent(filed)
                    : joinPath(destinationRoot, filed);
    makeFolder(parentOf(destination));

    // A file replaces a file in one rename; an empty folder in the way can go, one with
    // content is never removed to make room.
    if (overwrite && isFolder(destination) && !QFileInfo(destination).isSymLink() &&
        ::rmdir(QFile::encodeName(destination).constData()) != 0)
        consoleLine(QStringLiteral("moveFileToPath2 => removeFileAtPath Failed for item [ [%1]???")
                        .arg(destination));

    // An interrupted earlier move may have put this very file in place already.
    if (!overwrite && safemove::sameFile(source, destination)) {
        const bool removed = ::unlink(QFile::encodeName(source).constData()) == 0;
        consoleLine(QStringLiteral("moveFileToPath2 => [%1] was already filed as [%2]%3")
                        .arg(source, destination,
                             removed ? QString() : QStringLiteral("; the source stays")));
        if (!removed)
            tLastFailure = QString::fromLocal8Bit(strerror(errno));
        reportDestination(removed, destination);
        return removed;
    }

    safemove::Options options;
    options.overwrite = overwrite;
    const safemove::Result result = safemove::moveEntry(source, destination, options);
    if (!result.ok) {
        reportMoveFailure(source, destination, result);
        tLastFailure = QString::fromLocal8Bit(strerror(result.error));
    }
    reportDestination(result.ok, destination);
    return result.ok;
}

QString QDI_FileManager::stampIfTaken(const QString& destinationRoot,
                                      const QStringList& relativePaths, const QDateTime& now) {
    auto anyTaken = [&](const QString& stamp) {
        for (const QString& relative : relativePaths) {
            if (occupied(joinPath(destinationRoot, stampedPath(relative, stamp))))
                return true;
        }
        return false;
    };
    if (!anyTaken(QString()))
        return QString();
    const QString base = now.toString(QStringLiteral("yyyyMMdd_HHmmss"));
    QString stamp = base;
    // Bounded: should every name be taken, the move itself refuses to overwrite.
    for (int n = 2; n <= 10000 && anyTaken(stamp); ++n)
        stamp = base + QLatin1Char('-') + QString::number(n);
    return stamp;
}

QString QDI_FileManager::stampedPath(const QString& relativePath, const QString& stamp) {
    if (stamp.isEmpty())
        return relativePath;
    const int nameStart = relativePath.lastIndexOf(QLatin1Char('/')) + 1;
    const int dot = relativePath.lastIndexOf(QLatin1Char('.'));
    // A leading dot starts a hidden name, not an extension.
    const bool hasExtension = dot > nameStart;
    QString base =
        relativePath.mid(nameStart, (hasExtension ? dot : relativePath.size()) - nameStart);
    const QString tail =
        QLatin1Char(' ') + stamp + (hasExtension ? relativePath.mid(dot) : QString());
    // A name that was already near the limit loses the end of its base, never the stamp.
    while (!base.isEmpty() && (base + tail).toUtf8().size() > kNameMax) {
        base.chop(1);
        if (!base.isEmpty() && base.back().isHighSurrogate())
            base.chop(1);
    }
    return relativePath.left(nameStart) + base + tail;
}

QString QDI_FileManager::lastFailure() {
    return tLastFailure.isEmpty() ? QStringLiteral("unknown reason") : tLastFailure;
}

} // namespace kivo
