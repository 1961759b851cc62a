#include "log/QDLogFileManager.h"

#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/Trash.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace kivo {

namespace {

const QString kDefaultLogBaseName = QStringLiteral("KivoLogFile");
const QString kLogExtension = QStringLiteral("log");
const QString kRule = QString(59, QLatin1Char('='));
constexpr qint64 kDefaultRetentionSeconds = 259200; // 3 days
constexpr qint64 kSecondsPerDay = 86400;

// Created once and never destroyed: any thread may still log while the process exits.
struct State {
    std::mutex lock;
    std::optional<QString> applicationName;
    std::optional<QString> copyrightVersion;
    QString logFolder;
    QString logFilePath;
    std::atomic<bool> logFileOpen{false}; // written only under `lock`
};

State& state() {
    static State* s = new State;
    return *s;
}

QString firstLineOf(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    // Device-tree strings end with a NUL.
    QByteArray bytes = f.readLine(256);
    const qsizetype nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    return QString::fromUtf8(bytes).trimmed();
}

// What `uname -r` prints, line end included; nothing when the kernel does not say.
std::optional<QString> systemVersion() {
    struct utsname u {};
    if (::uname(&u) != 0 || u.release[0] == '\0')
        return std::nullopt;
    return QString::fromLocal8Bit(u.release) + QLatin1Char('\n');
}

QString defaultSourceFolder() {
    State& s = state();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (!s.logFolder.isEmpty())
            return s.logFolder;
    }
    return QDLogFileManager::logFolder();
}

QString documentsFolder() {
    const QString docs = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return docs.isEmpty() ? QStringLiteral("~/Documents") : docs;
}

QDateTime fromTimestamp(const struct statx_timestamp& t) {
    return QDateTime::fromMSecsSinceEpoch(qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000, Qt::UTC);
}

} // namespace

// ---- the day's file ---------------------------------------------------------------------------

QString computeCurrentDaysFolderString2(qint16 hoursBack, qint16 minutesBack) {
    return computeCurrentDaysFolderString2(hoursBack, minutesBack, QDateTime::currentDateTime());
}

QString computeCurrentDaysFolderString2(qint16 hoursBack, qint16 minutesBack,
                                        const QDateTime& now) {
    // Elapsed time, not wall-clock arithmetic: a daylight-saving change shifts the boundary.
    const qint64 back = qint64(hoursBack) * 3600 + qint64(minutesBack) * 60;
    return now.toLocalTime().addSecs(-back).toString(QStringLiteral("yyyy_MM_dd"));
}

QString QDLogFileManager::logFolder() {
    return bundle::stateHome() + QStringLiteral("/Kivo");
}

QString QDLogFileManager::logFileNameFor(const QDateTime& now) {
    QString base = getApplicationName();
    if (base.isEmpty())
        base = kDefaultLogBaseName;
    return base + QLatin1Char('_') + computeCurrentDaysFolderString2(3, 0, now) + QLatin1Char('.') +
           kLogExtension;
}

QString QDLogFileManager::logFilePath() {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.logFilePath;
}

bool QDLogFileManager::hasLogFile() {
    return state().logFileOpen.load();
}

QString QDLogFileManager::getApplicationName() {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.applicationName) {
        QString name = bundle::infoValue(QStringLiteral("CFBundleExecutable")).toString();
        if (name.isEmpty())
            name = bundle::infoValue(QStringLiteral("CFBundleDisplayName")).toString();
        if (name.isEmpty())
            name = kDefaultLogBaseName;
        const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
        if (dot > 0)
            name.truncate(dot);
        s.applicationName = name;
    }
    return *s.applicationName;
}

QString QDLogFileManager::getCopyrightInfo() {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.copyrightVersion) {
        const QString version =
            bundle::infoValue(QStringLiteral("CFBundleShortVersionString")).toString();
        s.copyrightVersion = version.isEmpty()
                                 ? QStringLiteral("Unable to obtain the version information.")
                                 : version;
    }
    return *s.copyrightVersion;
}

QString QDLogFileManager::hostModelAndArch() {
    struct utsname u {};
    if (::uname(&u) != 0)
        return {};
    QString model = firstLineOf(QStringLiteral("/sys/class/dmi/id/product_name"));
    if (model.isEmpty())
        model = firstLineOf(QStringLiteral("/proc/device-tree/model"));
    if (model.isEmpty())
        model = QString::fromLocal8Bit(u.sysname);
    return QStringLiteral("%1 (%2)").arg(model, QString::fromLocal8Bit(u.machine));
}

bool QDLogFileManager::setupLogFile() {
    return setupLogFileIn(logFolder(), QDateTime::currentDateTime());
}

bool QDLogFileManager::setupLogFileIn(const QString& folder, const QDateTime& now) {
    const QString appName = getApplicationName();
    const QString version = getCopyrightInfo();

    QString error;
    if (!makePrivateFolders(folder, &error))
        consoleLine(QStringLiteral("createDirectoryAtPath returned error: %1").arg(error));
    if (!QFileInfo(folder).isDir()) {
        // Standard error stays where it was, and it has had those lines already.
        takeEarlyConsoleLines();
        return true;
    }

    const QString path = QDir(folder).filePath(logFileNameFor(now));
    State& s = state();
    int reopenError = 0;
    bool redirected = false;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.logFolder = folder;
        fflush(stderr);
        const int fd = ::open(QFile::encodeName(path).constData(),
                              O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0) {
            reopenError = errno;
        } else if (fd == STDERR_FILENO) {
            // Standard error was closed and the file took its place: keep it across exec.
            redirected = ::fcntl(fd, F_SETFD, 0) == 0;
        } else {
            redirected = ::dup2(fd, STDERR_FILENO) >= 0;
            reopenError = redirected ? 0 : errno;
            ::close(fd);
        }
        if (redirected) {
            s.logFilePath = path;
            s.logFileOpen.store(true);
        }
    }
    // Taken before the header, which is not to be repeated.
    const QByteArray early = takeEarlyConsoleLines();
    if (reopenError)
        consoleLine(QStringLiteral("Could not reopen standard error on %1: %2")
                        .arg(path, QString::fromLocal8Bit(strerror(reopenError))));

    consoleLine(kRule);
    consoleLine(hostModelAndArch());
    const std::optional<QString> osVersion = systemVersion();
    if (osVersion && !osVersion->isEmpty())
        consoleLine(QStringLiteral("OS: v%1").arg(*osVersion));
    else
        consoleLine(QStringLiteral("runShellScript2 failed to get OS version???"));
    consoleLine(QStringLiteral("%1 => %2").arg(appName, version));
    consoleLine(kRule);
    // After the header, so they read as this start's lines; standard error had them already
    // when there is no file.
    if (redirected && !early.isEmpty()) {
        consoleLine(QStringLiteral("Console lines written before this log file was set up:"));
        fwrite(early.constData(), 1, size_t(early.size()), stderr);
        fflush(stderr);
    }
    return true;
}

QString QDLogFileManager::logDateString() {
    return logDateString(QDateTime::currentDateTime());
}

QString QDLogFileManager::logDateString(const QDateTime& when) {
    const QDateTime local = when.toLocalTime();
    int weekYear = 0;
    local.date().weekNumber(&weekYear);
    const int offset = local.offsetFromUtc();
    const int minutes = qAbs(offset) / 60;
    return QStringLiteral("[%1/%2 %3%4%5]")
        .arg(weekYear, 4, 10, QLatin1Char('0'))
        .arg(local.toString(QStringLiteral("MM/dd HH:mm:ss.zzz")))
        .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        .arg(minutes / 60, 2, 10, QLatin1Char('0'))
        .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

void QDLogFileManager::debug(const QString& message) {
    if (!hasLogFile())
        return;
    const QByteArray line =
        (QStringLiteral("D ") + logDateString() + QLatin1Char(' ') + message + QLatin1Char('\n'))
            .toUtf8();
    // One write per line so lines from several threads never interleave.
    fwrite(line.constData(), 1, size_t(line.size()), stderr);
    fflush(stderr);
}

// ---- retention --------------------------------------------------------------------------------

void QDLogFileManager::deleteOldLogs(const std::function<qint32()>& daysToSave) {
    deleteOldLogsIn(defaultSourceFolder(), documentsFolder(), QDateTime::currentDateTime(),
                    daysToSave);
}

void QDLogFileManager::deleteOldLogsIn(const QString& logFolder, const QString& documentsFolder,
                                       const QDateTime& now,
                                       const std::function<qint32()>& daysToSave) {
    const auto cutoff = [&] {
        const qint32 days = daysToSave ? daysToSave() : 14;
        return now.addSecs(-qint64(days) * kSecondsPerDay);
    };
    deleteOldLogsWithOptions({{kDeleteSubDirectory, true},
                              {kDeleteImmediately, false},
                              {kSourcePath, logFolder},
                              {kBeforeDate, cutoff()}});
    deleteOldLogsWithOptions({{kDeleteSubDirectory, false},
                              {kDeleteImmediately, true},
                              {kSourcePath, documentsFolder},
                              {kBaseName, QStringLiteral("myConsole")},
                              {kBeforeDate, cutoff()}});
}

void QDLogFileManager::deleteOldLogsWithOptions(const QVariantMap& options) {
    const bool recurse = options.value(kDeleteSubDirectory).toBool();
    const bool immediately = options.value(kDeleteImmediately).toBool();
    QString source = options.contains(kSourcePath) ? options.value(kSourcePath).toString()
                                                   : defaultSourceFolder();
    const QString baseName =
        options.contains(kBaseName) ? options.value(kBaseName).toString() : getApplicationName();
    QDateTime before = options.value(kBeforeDate).toDateTime();
    if (!before.isValid())
        before = QDateTime::currentDateTime().addSecs(-kDefaultRetentionSeconds);

    // An empty prefix would match every file in the folder.
    if (baseName.isEmpty()) {
        consoleLine(QStringLiteral("deleteOldLogsWithOptions => no base name given, nothing "
                                   "removed from [%1]")
                        .arg(source));
        return;
    }
    source = bundle::expandTilde(source);
    const QFileInfo sourceInfo(source);
    if (!sourceInfo.isDir() || !sourceInfo.isReadable())
        return;

    // Listed first, so moving items out does not disturb the walk.
    QStringList items;
    QDirIterator it(source, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    recurse ? QDirIterator::Subdirectories : QDirIterator::NoIteratorFlags);
    while (it.hasNext())
        items << it.next();
    for (const QString& item : std::as_const(items))
        deleteItem(item, before, baseName, immediately);
}

void QDLogFileManager::deleteItem(const QString& path, const QDateTime& beforeDate,
                                  const QString& baseName, bool deleteImmediately) {
    const QString item = bundle::expandTilde(path);
    const QFileInfo info(item);
    if (!info.exists()) {
        consoleLine(QStringLiteral("testDirectory=> curItem does NOT exist: %1\n").arg(item));
        return;
    }
    if (info.isDir())
        return;
    const QString name = info.fileName();
    if (!name.startsWith(baseName, Qt::CaseInsensitive))
        return;
    if (!itemIsEarlierThan(item, beforeDate))
        return;

    if (deleteImmediately) {
        if (::unlink(QFile::encodeName(item).constData()) == 0)
            consoleLine(QStringLiteral("Item DELETED: [%1]").arg(name));
        else
            consoleLine(QStringLiteral("Item could NOT be deleted: [%1] (%2)")
                            .arg(item, QString::fromLocal8Bit(strerror(errno))));
    } else if (moveFileToUserTrash(item)) {
        consoleLine(QStringLiteral("Item Moved To Trash: [%1]").arg(name));
    }
}

QDateTime itemDateFrom(const std::optional<QDateTime>& creation, const QDateTime& modification) {
    static const QDateTime kZero1904(QDate(1904, 1, 1), QTime(0, 0), Qt::UTC);
    static const QDateTime kZero1970(QDate(1970, 1, 1), QTime(0, 0), Qt::UTC);
    if (!creation || !creation->isValid() || *creation == kZero1904 || *creation == kZero1970)
        return modification;
    return qMin(*creation, modification);
}

bool itemIsEarlierThan(const QString& path, const QDateTime& cutoff) {
    struct statx stx {};
    if (::statx(AT_FDCWD, QFile::encodeName(path).constData(), 0, STATX_BTIME | STATX_MTIME,
                &stx) != 0 ||
        !(stx.stx_mask & STATX_MTIME)) {
        consoleLine(QStringLiteral("itemIsEarlierThan -> file may NOT exist anymore?????"));
        return false;
    }
    std::optional<QDateTime> creation;
    if (stx.stx_mask & STATX_BTIME)
        creation = fromTimestamp(stx.stx_btime);
    return itemDateFrom(creation, fromTimestamp(stx.stx_mtime)) < cutoff;
}

} // namespace kivo
