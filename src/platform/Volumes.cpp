#include "platform/Volumes.h"

#include "platform/Console.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <sys/stat.h>

namespace kivo {

namespace {

// Mount points in mountinfo escape space, tab, newline and backslash as \ooo.
QString unescapeMountPoint(const QByteArray& field) {
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int code = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok && code >= 0 && code < 256) {
                out.append(char(code));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return QString::fromUtf8(out);
}

QString canonical(const QString& path) {
    const QString c = QFileInfo(path).canonicalFilePath();
    return c.isEmpty() ? QDir::cleanPath(path) : c;
}

bool isMountPoint(const QString& path) {
    const QStringList mounts = mountPoints();
    if (!mounts.isEmpty())
        return mounts.contains(path);
    // Without mountinfo: a folder on another device than its parent is where one is mounted.
    struct stat self {
    }, parent{};
    const QByteArray p = QFile::encodeName(path);
    const QByteArray up = QFile::encodeName(QFileInfo(path).absolutePath());
    if (::stat(p.constData(), &self) != 0 || ::stat(up.constData(), &parent) != 0)
        return false;
    return self.st_dev != parent.st_dev;
}

bool inList(const QString& folder, const QStringList& list) {
    for (const QString& f : list) {
        if (canonical(f) == folder)
            return true;
    }
    return false;
}

} // namespace

VolumeFolders VolumeFolders::standard() {
    return {{QStringLiteral("/mnt"), QStringLiteral("/media")},
            {QStringLiteral("/media"), QStringLiteral("/run/media")}};
}

QStringList mountPoints() {
    QFile file(QStringLiteral("/proc/self/mountinfo"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList points;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 4)
            points << unescapeMountPoint(fields[4]);
    }
    return points;
}

bool isRootVolume(const QString& path) {
    return isRootVolume(path, VolumeFolders::standard());
}

bool isRootVolume(const QString& path, const VolumeFolders& folders) {
    if (path.isEmpty())
        return false;
    if (!path.startsWith(QLatin1Char('/'))) {
        consoleLine(QStringLiteral("isRootVolume: odd path, not absolute [%1]").arg(path));
        return false;
    }
    const QFileInfo info(path);
    if (!info.exists() || !info.isDir())
        return false;
    const QString folder = canonical(path);
    if (folder == QLatin1String("/"))
        return true;
    if (inList(folder, folders.direct) || inList(folder, folders.perUser))
        return true;
    const QString parent = QFileInfo(folder).path();
    // "/media/<user>" is a folder of volumes, whether or not anything is mounted in it.
    if (inList(parent, folders.perUser))
        return true;
    if (inList(parent, folders.direct))
        return isMountPoint(folder);
    if (inList(QFileInfo(parent).path(), folders.perUser))
        return isMountPoint(folder);
    return false;
}

} // namespace kivo
