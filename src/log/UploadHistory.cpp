#include "log/UploadHistory.h"

#include "log/QDLogFileManager.h"
#include "platform/Console.h"
#include "platform/Trash.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo {

namespace {

constexpr const char* kWords[kUploadOutcomeCount] = {"uploaded", "refused", "retry", "unfiled"};
// Far beyond any day's history; a larger file is not one of ours.
constexpr qint64 kLargestFile = qint64(256) << 20;

QString dayOf(const QDateTime& when) {
    return computeCurrentDaysFolderString2(3, 0, when);
}

QByteArray jsonString(const QString& text) {
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

// Local time with its offset, to the second: 2026-12-07T14:03:21+01:00.
QString isoLocal(const QDateTime& when) {
    const QDateTime local = when.toLocalTime();
    const int offset = local.offsetFromUtc();
    const int minutes = qAbs(offset) / 60;
    return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) +
           QStringLiteral("%1%2:%3")
               .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

QString outcomeWord(UploadOutcome outcome) {
    return QString::fromLatin1(kWords[int(outcome)]);
}

std::optional<UploadOutcome> outcomeFromWord(const QString& word) {
    for (int i = 0; i < kUploadOutcomeCount; ++i)
        if (word == QLatin1String(kWords[i]))
            return UploadOutcome(i);
    return std::nullopt;
}

UploadHistory::UploadHistory(const QString& folder) : fFolder(folder) {}

QString UploadHistory::defaultFolder() {
    return QDLogFileManager::logFolder();
}

QString UploadHistory::fileNameFor(const QDateTime& when) {
    return kBaseName + QLatin1Char('_') + dayOf(when) + QStringLiteral(".jsonl");
}

QByteArray UploadHistory::toLine(const UploadRecord& r) {
    QByteArray line = "{\"time\":" + jsonString(isoLocal(r.time));
    line += ",\"folder\":" + jsonString(r.folder);
    line += ",\"file\":" + jsonString(r.file);
    line += ",\"size\":" + (r.sizeBytes < 0 ? QByteArray("null") : QByteArray::number(r.sizeBytes));
    line += ",\"seconds\":" + QByteArray::number(std::isfinite(r.seconds) ? r.seconds : 0, 'f', 3);
    line += ",\"outcome\":" + jsonString(outcomeWord(r.outcome));
    line += ",\"http\":" + (r.httpStatus ? QByteArray::number(*r.httpStatus) : QByteArray("null"));
    line += ",\"status\":" + jsonString(r.serviceStatus);
    line += ",\"message\":" + jsonString(r.message);
    return line + "}\n";
}

std::optional<UploadRecord> UploadHistory::fromLine(const QByteArray& line) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(line.trimmed(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    const std::optional<UploadOutcome> outcome = outcomeFromWord(o.value("outcome").toString());
    UploadRecord r;
    r.time = QDateTime::fromString(o.value("time").toString(), Qt::ISODate);
    if (!outcome || !r.time.isValid() || !o.value("file").isString())
        return std::nullopt;
    r.outcome = *outcome;
    r.folder = o.value("folder").toString();
    r.file = o.value("file").toString();
    r.sizeBytes = o.value("size").isDouble() ? qint64(o.value("size").toDouble()) : -1;
    r.seconds = o.value("seconds").toDouble();
    if (o.value("http").isDouble())
        r.httpStatus = qint64(o.value("http").toDouble());
    r.serviceStatus = o.value("status").toString();
    r.message = o.value("message").toString();
    return r;
}

std::vector<UploadRecord> UploadHistory::readFile(const QString& path) {
    std::vector<UploadRecord> records;
    QFile file(path);
    if (!file.exists())
        return records;
    if (!file.open(QIODevice::ReadOnly)) {
        consoleLine(QStringLiteral("The upload history [%1] cannot be read: %2")
                        .arg(path, file.errorString()));
        return records;
    }
    if (file.size() > kLargestFile) {
        consoleLine(QStringLiteral("The upload history [%1] is too large to be read").arg(path));
        return records;
    }
    while (!file.atEnd())
        if (const auto record = fromLine(file.readLine()))
            records.push_back(*record);
    return records;
}

void UploadHistory::count(const UploadRecord& record) {
    const QString day = dayOf(record.time);
    if (day != fDay.day)
        fDay = UploadHistoryDay{day, {}, {}};
    ++fDay.counts[size_t(record.outcome)];
    fDay.latest.insert(fDay.latest.begin(), record);
    if (fDay.latest.size() > kLatestKept)
        fDay.latest.pop_back();
}

void UploadHistory::reportOnce(const QString& text) {
    if (fReported)
        return;
    fReported = true;
    consoleLine(text + QStringLiteral(" (reported once; the uploads go on)"));
}

bool UploadHistory::append(const UploadRecord& record) {
    QByteArray line = toLine(record);
    const QString path = QDir(fFolder).filePath(fileNameFor(record.time));
    std::lock_guard<std::mutex> guard(fLock);
    count(record);

    QString error;
    if (!makePrivateFolders(fFolder, &error)) {
        reportOnce(QStringLiteral("The upload history folder [%1] cannot be made: %2")
                       .arg(fFolder, error));
        return false;
    }
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        reportOnce(QStringLiteral("The upload history [%1] cannot be opened: %2")
                       .arg(path, QString::fromLocal8Bit(strerror(errno))));
        return false;
    }
    // A line torn by a crash is ended first, so it cannot swallow this one (hence read access).
    struct stat st {};
    char last = '\n';
    if (::fstat(fd, &st) == 0 && st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) == 1 &&
        last != '\n')
        line.prepend('\n');
    const ssize_t written = ::write(fd, line.constData(), size_t(line.size()));
    const int writeError = errno;
    const bool closed = ::close(fd) == 0;
    if (written != ssize_t(line.size()) || !closed) {
        reportOnce(QStringLiteral("The upload history [%1] cannot be written: %2")
                       .arg(path, written < 0 ? QString::fromLocal8Bit(strerror(writeError))
                                              : QStringLiteral("short write")));
        return false;
    }
    return true;
}

void UploadHistory::loadDay(const QDateTime& now) {
    const std::vector<UploadRecord> records = readFile(QDir(fFolder).filePath(fileNameFor(now)));
    std::lock_guard<std::mutex> guard(fLock);
    fDay = UploadHistoryDay{dayOf(now), {}, {}};
    for (const UploadRecord& record : records)
        if (dayOf(record.time) == fDay.day)
            count(record);
}

UploadHistoryDay UploadHistory::day(const QDateTime& now) const {
    const QString today = dayOf(now);
    std::lock_guard<std::mutex> guard(fLock);
    if (fDay.day != today)
        return UploadHistoryDay{today, {}, {}};
    return fDay;
}

void UploadHistory::deleteOldFiles(const QString& folder, const QDateTime& now, qint32 daysToSave) {
    QDLogFileManager::deleteOldLogsWithOptions(
        {{kDeleteSubDirectory, false},
         {kDeleteImmediately, false},
         {kSourcePath, folder},
         {kivo::kBaseName, UploadHistory::kBaseName},
         {kBeforeDate, now.addSecs(-qint64(daysToSave) * 86400)}});
}

} // namespace kivo
