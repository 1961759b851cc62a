#include "files/FilingJournal.h"

#include "files/SafeMove.h"
#include "platform/Bundle.h"
#include "platform/Console.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kivo {

namespace {

// A journal never holds more than a day's worth of stuck items; anything larger is not ours.
constexpr qint64 kMaxJournalBytes = 64 * 1024 * 1024;

QJsonObject toJson(const PendingFiling& e) {
    return QJsonObject{
        {"root", e.root},
        {"item", e.item},
        {"destination", e.destination == PendingFiling::Destination::Mirror ? "mirror" : "problem"},
        {"destinationRoot", e.destinationRoot},
        {"stamp", e.stamp},
        {"device", QString::number(e.identity.device)},
        {"inode", QString::number(e.identity.inode)},
        {"size", QString::number(e.identity.size)},
        {"mtimeNs", QString::number(e.identity.mtimeNs)},
        {"when", QString::number(e.whenMs)},
        {"reply", e.reply},
    };
}

std::optional<PendingFiling> fromJson(const QJsonObject& o) {
    PendingFiling e;
    e.root = o.value("root").toString();
    e.item = o.value("item").toString();
    e.destinationRoot = o.value("destinationRoot").toString();
    if (e.root.isEmpty() || e.item.isEmpty() || e.destinationRoot.isEmpty())
        return std::nullopt;
    e.destination = o.value("destination").toString() == QLatin1String("problem")
                        ? PendingFiling::Destination::Problem
                        : PendingFiling::Destination::Mirror;
    e.stamp = o.value("stamp").toString();
    e.identity.device = o.value("device").toString().toULongLong();
    e.identity.inode = o.value("inode").toString().toULongLong();
    e.identity.size = o.value("size").toString().toLongLong();
    e.identity.mtimeNs = o.value("mtimeNs").toString().toLongLong();
    e.whenMs = o.value("when").toString().toLongLong();
    e.reply = o.value("reply").toString();
    return e;
}

} // namespace

FilingJournal::FilingJournal(QString path) : fPath(std::move(path)) {}

QString FilingJournal::defaultPath() {
    return bundle::stateHome() + QStringLiteral("/Kivo/PendingFilings.json");
}

void FilingJournal::load() {
    std::lock_guard<std::mutex> g(fMutex);
    fEntries.clear();
    // What a write cut short left beside the journal; the journal itself is whole.
    QFile::remove(fPath + QStringLiteral(".new"));
    const QFileInfo info(fPath);
    if (!info.exists())
        return;
    QFile file(fPath);
    QByteArray bytes;
    bool ok = info.isFile() && info.size() <= kMaxJournalBytes && file.open(QIODevice::ReadOnly);
    if (ok)
        bytes = file.readAll();
    QJsonParseError error{};
    const QJsonDocument doc = ok ? QJsonDocument::fromJson(bytes, &error) : QJsonDocument();
    if (!ok || error.error != QJsonParseError::NoError || !doc.isArray()) {
        const QString aside = fPath + QStringLiteral(".damaged");
        QFile::remove(aside);
        const bool moved = QFile::rename(fPath, aside);
        consoleLine(QStringLiteral("The list of uploaded items waiting to be filed [%1] could not "
                                   "be read%2; items it named may be uploaded once more")
                        .arg(fPath, moved ? QStringLiteral(" and was moved to [%1]").arg(aside)
                                          : QString()));
        return;
    }
    for (const QJsonValue& v : doc.array())
        if (const auto entry = fromJson(v.toObject()))
            fEntries.push_back(*entry);
}

bool FilingJournal::add(const PendingFiling& entry) {
    std::lock_guard<std::mutex> g(fMutex);
    std::erase_if(fEntries, [&](const PendingFiling& e) {
        return e.root == entry.root && e.item == entry.item;
    });
    fEntries.push_back(entry);
    return save();
}

bool FilingJournal::remove(const QString& root, const QString& item) {
    std::lock_guard<std::mutex> g(fMutex);
    const size_t removed = std::erase_if(
        fEntries, [&](const PendingFiling& e) { return e.root == root && e.item == item; });
    return removed == 0 || save();
}

std::optional<PendingFiling> FilingJournal::find(const QString& root, const QString& item) const {
    std::lock_guard<std::mutex> g(fMutex);
    for (const PendingFiling& e : fEntries)
        if (e.root == root && e.item == item)
            return e;
    return std::nullopt;
}

std::vector<PendingFiling> FilingJournal::entries() const {
    std::lock_guard<std::mutex> g(fMutex);
    return fEntries;
}

bool FilingJournal::save() {
    const QString folder = QFileInfo(fPath).absolutePath();
    if (!QDir().mkpath(folder))
        return false;
    if (fEntries.empty()) {
        // Nothing waits: no file at all, which is also the quickest to write.
        return !QFileInfo::exists(fPath) || QFile::remove(fPath);
    }
    QJsonArray array;
    for (const PendingFiling& e : fEntries)
        array.append(toJson(e));
    const QByteArray bytes = QJsonDocument(array).toJson(QJsonDocument::Indented);
    const QByteArray target = QFile::encodeName(fPath);
    const QByteArray temp = target + ".new";
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        consoleLine(
            QStringLiteral("Could not write [%1]: %2")
                .arg(QString::fromLocal8Bit(temp), QString::fromLocal8Bit(strerror(errno))));
        return false;
    }
    bool ok = safemove::writeAll(fd, bytes.constData(), size_t(bytes.size())) && ::fsync(fd) == 0;
    const int saved = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok)
        ok = ::rename(temp.constData(), target.constData()) == 0;
    if (!ok) {
        consoleLine(QStringLiteral("Could not write [%1]: %2")
                        .arg(fPath, QString::fromLocal8Bit(strerror(ok ? errno : saved))));
        ::unlink(temp.constData());
    }
    return ok;
}

} // namespace kivo
