#pragma once
// The upload history: one JSON line per upload result in a daily file beside the daily logs
// ($XDG_STATE_HOME/Kivo/UploadHistory_yyyy_MM_dd.jsonl), the day running from 03:00 to 03:00
// local time as theirs does, and kept as long as they are. Safe to use from any thread; a file
// that cannot be written is reported once on the console and never stops an upload.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <array>
#include <mutex>
#include <optional>
#include <vector>

namespace kivo {

enum class UploadOutcome {
    Uploaded, // "uploaded": accepted by the service and filed into the mirror folder
    Refused,  // "refused": refused (by the service, or unsendable) and filed into Problem Folder
    Retry,    // "retry": no verdict on the photo (not sent, transport error, gateway, service
              // error); it stays in the source folder and is tried again
    Unfiled,  // "unfiled": judged by the service but could not be filed; never sent again,
              // its filing is retried
};
inline constexpr int kUploadOutcomeCount = 4;

QString outcomeWord(UploadOutcome outcome);
std::optional<UploadOutcome> outcomeFromWord(const QString& word);

struct UploadRecord {
    QDateTime time;
    QString folder; // the client folder, relative to the source folder ("" at its top)
    QString file;
    qint64 sizeBytes = -1; // -1: unknown
    double seconds = 0;    // from the start of the upload to its result
    UploadOutcome outcome = UploadOutcome::Retry;
    std::optional<qint64> httpStatus; // when an HTTP reply came
    QString serviceStatus;            // the service's own status word, empty when none came
    QString message;
};

// One day of the history as the window shows it.
struct UploadHistoryDay {
    QString day; // yyyy_MM_dd
    std::array<int, kUploadOutcomeCount> counts{};
    std::vector<UploadRecord> latest; // newest first
    int count(UploadOutcome outcome) const { return counts[size_t(outcome)]; }
};

class UploadHistory {
public:
    static constexpr size_t kLatestKept = 20;
    static inline const QString kBaseName = QStringLiteral("UploadHistory");

    explicit UploadHistory(const QString& folder = defaultFolder());
    static QString defaultFolder();
    // "UploadHistory_<yyyy_MM_dd>.jsonl", the day being the one of when - 3 hours.
    static QString fileNameFor(const QDateTime& when);
    QString folder() const { return fFolder; }

    // Appends the record's line to its day's file with one write, and counts it in its day.
    // False when the line could not be written (the record is still counted).
    bool append(const UploadRecord& record);
    // Today's records from the file of now's day; lines that are not records are skipped.
    void loadDay(const QDateTime& now = QDateTime::currentDateTime());
    // The day of now: empty when nothing has been recorded or loaded for it.
    UploadHistoryDay day(const QDateTime& now = QDateTime::currentDateTime()) const;

    static QByteArray toLine(const UploadRecord& record);
    static std::optional<UploadRecord> fromLine(const QByteArray& line);
    // Every record of a file, in file order; torn or foreign lines are skipped.
    static std::vector<UploadRecord> readFile(const QString& path);

    // History files in folder older than the retention go to the Trash, as old daily logs do.
    static void deleteOldFiles(const QString& folder, const QDateTime& now, qint32 daysToSave);

private:
    void count(const UploadRecord& record); // under fLock
    void reportOnce(const QString& text);   // under fLock

    const QString fFolder;
    mutable std::mutex fLock;
    UploadHistoryDay fDay;
    bool fReported = false;
};

} // namespace kivo
