#pragma once
// Daily log files: standard error is appended to one file per day in the private log folder
// ($XDG_STATE_HOME/Kivo), a day running from 03:00 to 03:00 local time, and old files are
// cleaned at start. Everything here is safe to call from any thread.
#include <QDateTime>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <optional>

namespace kivo {

// Keys of QDLogFileManager::deleteOldLogsWithOptions.
inline constexpr char kDeleteSubDirectory[] = "deleteSubDirectory"; // bool, default false
inline constexpr char kDeleteImmediately[] = "deleteImmediately";   // bool, default false
inline constexpr char kSourcePath[] = "sourcePath";                 // default: the log folder
inline constexpr char kBaseName[] = "baseName";                     // default: the application name
inline constexpr char kBeforeDate[] = "beforeDate"; // QDateTime, default: now - 3 days

class QDLogFileManager {
public:
    // Redirects standard error (append) to the day's file in logFolder() and writes the start
    // header, followed by the console lines written before it. Reads no settings. Always true:
    // a log folder that cannot be made leaves standard error as it was.
    static bool setupLogFile();
    // The same in another folder and for a given moment (the day is taken from it).
    static bool setupLogFileIn(const QString& folder, const QDateTime& now);

    // "<application name>_<yyyy_MM_dd>.log", the day being the one of now - 3 hours.
    static QString logFileNameFor(const QDateTime& now);
    static QString logFolder();
    // The file standard error goes to; empty until set up.
    static QString logFilePath();
    static bool hasLogFile();

    // CFBundleExecutable, else CFBundleDisplayName, else "KivoLogFile"; extension removed.
    static QString getApplicationName();
    // CFBundleShortVersionString, or a sentence saying it is unknown.
    static QString getCopyrightInfo();
    // "<machine model> (<architecture>)".
    static QString hostModelAndArch();

    // "[YYYY/MM/dd HH:mm:ss.SSS Z]" in local time; YYYY is the ISO week-numbering year.
    static QString logDateString();
    static QString logDateString(const QDateTime& when);
    // "D <time stamp> <message>" into the log file; nothing while there is none.
    static void debug(const QString& message);

    // Both start-up passes: dated logs in the log folder (and below) older than the retention
    // days go to the Trash; "myConsole" captures directly in Documents are deleted at once.
    // daysToSave is asked once per pass.
    static void deleteOldLogs(const std::function<qint32()>& daysToSave);
    static void deleteOldLogsIn(const QString& logFolder, const QString& documentsFolder,
                                const QDateTime& now, const std::function<qint32()>& daysToSave);
    static void deleteOldLogsWithOptions(const QVariantMap& options);
    static void deleteItem(const QString& path, const QDateTime& beforeDate,
                           const QString& baseName, bool deleteImmediately);
};

// now minus the given hours and minutes as "yyyy_MM_dd" in local time.
QString computeCurrentDaysFolderString2(qint16 hoursBack, qint16 minutesBack);
QString computeCurrentDaysFolderString2(qint16 hoursBack, qint16 minutesBack, const QDateTime& now);

// The date a file is judged by (symbolic links followed), strictly before cutoff. False when
// the file cannot be read.
bool itemIsEarlierThan(const QString& path, const QDateTime& cutoff);
// The creation date, unless there is none or it is a zero date (1904-01-01 or 1970-01-01 UTC);
// never later than the modification date, which copies and restores keep while the creation
// (birth) date is renewed.
QDateTime itemDateFrom(const std::optional<QDateTime>& creation, const QDateTime& modification);

} // namespace kivo
