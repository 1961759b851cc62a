#include "scan/FolderScan.h"

#include "app/Pipeline.h"
#include "log/Printing.h"
#include "platform/Console.h"
#include "platform/Defaults.h"
#include "platform/ItemFile.h"
#include "scan/CaptureDate.h"
#include "scan/EmbeddedMetadata.h"
#include "scan/ImageCheck.h"
#include "settings/Preferences.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <dirent.h>
#include <functional>
#include <sys/stat.h>

namespace kivo {

std::atomic<bool> doAlder{true};

namespace {

const QString kUserEnteredClientName = QStringLiteral("userEnteredClientName");
const QString kUploadUpload = QStringLiteral("upload.upload");

bool isAccount(const QString& user, const char* name) {
    return user.compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
}

// The last path component without its extension ("a.b.jpg" gives "a.b").
QString nameWithoutExtension(const QString& path) {
    const QFileInfo fi(path);
    return fi.suffix().isEmpty() ? fi.fileName() : fi.completeBaseName();
}

// Creates the mirror of a source directory with no more than the source's own permissions
// (a linked folder's, not the link's 0777) and the user's umask; an existing folder is left as
// it is.
void mirrorDirectory(const QString& sourceDir, const QString& mirrorDir) {
    struct stat st {};
    mode_t mode = 0700;
    if (::stat(QFile::encodeName(sourceDir).constData(), &st) == 0)
        mode = st.st_mode & 0777;
    ::mkdir(QFile::encodeName(mirrorDir).constData(), mode);
}

// Depth-first, name-sorted, a directory before its contents. Directories reached through a
// symbolic link are reported but not entered, so a link loop cannot trap the walk. visit
// returns false to stop.
// Names in folder whose bytes do not survive the conversion to text (not valid UTF-8): the
// folder listing leaves them out without a word, so they are found on the raw entries. Shown
// with replacement characters.
QStringList namesWithoutText(const QString& folder) {
    QStringList odd;
    DIR* dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return odd;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray raw(entry->d_name);
        if (raw == "." || raw == "..")
            continue;
        if (QFile::encodeName(QFile::decodeName(raw)) != raw)
            odd << QString::fromUtf8(raw);
    }
    ::closedir(dir);
    return odd;
}

// Depth-first, name-sorted, a directory before its contents. Directories reached through a
// symbolic link are reported but not entered, so a link loop cannot trap the walk. visit
// returns false to stop; oddName hears of each entry whose name is not valid UTF-8.
bool walk(const QString& root, const QString& relative,
          const std::function<bool(const QString& rel, const QFileInfo& info)>& visit,
          const std::function<void(const QString& rel)>& oddName) {
    const QString path = relative.isEmpty() ? root : root + QLatin1Char('/') + relative;
    const QDir dir(path);
    const QFileInfoList entries = dir.entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : namesWithoutText(path))
        oddName(relative.isEmpty() ? name : relative + QLatin1Char('/') + name);
    for (const QFileInfo& info : entries) {
        const QString rel =
            relative.isEmpty() ? info.fileName() : relative + QLatin1Char('/') + info.fileName();
        if (!visit(rel, info))
            return false;
        if (info.isDir() && !info.isSymLink() && !walk(root, rel, visit, oddName))
            return false;
    }
    return true;
}

// Whether this is the first time key is reported in this process; bounded, so a folder full of
// odd names cannot grow it without end.
bool firstReport(const QString& key) {
    static std::mutex mutex;
    static QSet<QString> seen;
    std::lock_guard<std::mutex> g(mutex);
    if (seen.contains(key))
        return false;
    if (seen.size() > 100000)
        seen.clear();
    seen.insert(key);
    return true;
}

// Files that did not qualify, as they were then. Bounded: a huge folder of such files only
// costs the lines once more.
std::mutex gTurnedDownMutex;
QHash<QString, FileIdentity> gTurnedDown;

bool wasTurnedDown(const QString& key, const FileIdentity& identity) {
    std::lock_guard<std::mutex> g(gTurnedDownMutex);
    const auto it = gTurnedDown.constFind(key);
    return it != gTurnedDown.cend() && *it == identity;
}

void rememberTurnedDown(const QString& key, const FileIdentity& identity) {
    std::lock_guard<std::mutex> g(gTurnedDownMutex);
    if (gTurnedDown.size() > 200000)
        gTurnedDown.clear();
    gTurnedDown.insert(key, identity);
}

qint64 nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

QString describeNotification(const Notification& n) {
    return QStringLiteral("%1 = %2").arg(n.name, n.userInfo ? Preferences::describe(*n.userInfo)
                                                            : QStringLiteral("(no user info)"));
}

class Scan {
public:
    Scan(ScanHost& host, const Notification& n) : fHost(host), fNote(n) {}

    void run();

private:
    bool guards();
    std::optional<QString> chooseItem();
    bool isCandidate(const QString& rel, const QFileInfo& info);
    void nothingToUpload();
    void postItem(const QString& rel);
    // Whether the photo (and the movie that goes with it) may be sent now; holds it if not.
    bool isReady(const QString& rel, const QString& path);
    void noteHeld(const QString& rel, const ItemHolds::Hold& hold);
    void reportOnce(const QString& key, const QString& text, bool onStatusLine);
    // The photo's metadata, read once per pass while the file stays the same.
    const PhotoMetadata& metadataOf(const QString& path);
    // Clears the scan mark; a rescan asked for meanwhile starts the next pass.
    void finish(bool serveRescan);

    ScanHost& fHost;
    const Notification& fNote;
    QVariantMap fWork;
    QString fRoot;
    QString fMirror;
    bool fFormBaseId = false;
    bool fUploadMovie = false;
    std::optional<FileIdentity> fPhotoIdentity;
    std::optional<FileIdentity> fMovieIdentity;
    // The held item due first, for the status line and the pass that serves it.
    std::optional<std::pair<QString, ItemHolds::Hold>> fFirstHeld;
    QString fFreshReport; // the last problem first reported by this scan
    struct MetadataRead {
        QString path;
        std::optional<FileIdentity> identity;
        PhotoMetadata metadata;
    };
    std::optional<MetadataRead> fLastRead;
};

void Scan::run() {
    consoleInside("AppController", "scanFolderOnMainThread:");
    {
        // Tested and set in one step, so two simultaneous requests give one scan and one rescan.
        std::lock_guard<std::recursive_mutex> g(fHost.threadLock());
        if (fHost.isScanning()) {
            fHost.setNeedsToRescan(true);
            return;
        }
        fHost.setNeedsToRescan(false);
        fHost.setIsScanningFolder(true);
    }
    if (!guards()) {
        finish(false);
        return;
    }
    if (const auto waiting = fHost.fileWaitingItems())
        noteHeld(waiting->first, waiting->second);
    const std::optional<QString> item = chooseItem();
    fHost.ibUpdateFTPCallbackStatusTextField(QString());
    if (!item) {
        consoleLine(QStringLiteral("No more images to upload..."));
        nothingToUpload();
        return;
    }
    postItem(*item);
}

bool Scan::guards() {
    if (fHost.uploadInProgress()) {
        consoleLine(
            QStringLiteral("Cannot Scan Folder Yet - while an upload is still in progress"));
        return false;
    }
    if (fHost.isHalted()) {
        fHost.ibUpdateFTPCallbackStatusTextField(
            QStringLiteral("Process Halted... Click Resume If You Wish To Continue..."));
        return false;
    }
    if (!fNote.userInfo) {
        fHost.ibUpdateFTPCallbackStatusTextField(
            QStringLiteral("BAD Internal ERROR!!!!! No Info To Start Scan of Folder..."));
        return false;
    }
    fWork = *fNote.userInfo;
    fWork.remove(kHttpError);
    const char* missing = nullptr;
    if (!fWork.contains(cDictKeyLocalSourceUploadFolder))
        missing = "Unable to determine root folder to start the enumeration process...";
    else if (!fWork.contains(cDictKeyLocalMirrorFolder))
        missing = "Unable to determine dest folder to start the enumeration process...";
    else if (!fWork.contains(cDictKeyUserEnteredEventName))
        missing = "Unable to determine userEnteredEventName to start the enumeration process...";
    if (missing) {
        myNSLog(QStringLiteral("Passed Note:\n%1\n\n").arg(describeNotification(fNote)));
        myNSLog(QString::fromLatin1(missing));
        return false;
    }
    fRoot = fWork.value(cDictKeyLocalSourceUploadFolder).toString();
    fMirror = fWork.value(cDictKeyLocalMirrorFolder).toString();
    fFormBaseId = Preferences::getPrefFormBaseIdFromFileName();
    fUploadMovie = Preferences::store().boolForKey(sPrefUploadMovie);
    return true;
}

std::optional<QString> Scan::chooseItem() {
    std::optional<QString> chosen;
    const auto oddName = [this](const QString& rel) {
        reportOnce(QStringLiteral("name:") + rel,
                   QStringLiteral("Cannot upload [%1]: its name is not valid UTF-8; please "
                                  "rename it")
                       .arg(rel),
                   true);
    };
    walk(
        fRoot, QString(),
        [&](const QString& rel, const QFileInfo& info) {
            if (info.isDir()) {
                mirrorDirectory(info.filePath(), fMirror + QLatin1Char('/') + rel);
                if (info.isSymLink())
                    reportOnce(QStringLiteral("folder link:") + rel,
                               QStringLiteral("[%1] is a link to a folder; the photos in it are "
                                              "not uploaded")
                                   .arg(rel),
                               true);
                return true;
            }
            if (!isCandidate(rel, info))
                return true;
            chosen = rel;
            return false;
        },
        oddName);
    return chosen;
}

bool Scan::isCandidate(const QString& rel, const QFileInfo& info) {
    if (info.fileName().startsWith(QLatin1Char('.')))
        return false;
    const QString path = fRoot + QLatin1Char('/') + rel;
    if (info.isSymLink()) {
        // Its target may be any file on the machine.
        reportOnce(QStringLiteral("link:") + path,
                   QStringLiteral("[%1] is a symbolic link; links are never uploaded").arg(rel),
                   false);
        return false;
    }
    // Movies travel with their photo and are never items of their own (checked before the
    // costly decode below, with the same outcome).
    if (info.suffix().compare(QLatin1String("mov"), Qt::CaseInsensitive) == 0)
        return false;
    if (const auto hold = fHost.itemHolds().holdOf(rel, nowMs())) {
        noteHeld(rel, *hold);
        return false;
    }
    if (fHost.isAwaitingFiling(fRoot, rel))
        return false;
    // A file turned down before is looked at again only once it has changed: no new console
    // lines and no new reading at every scan.
    const QString rejectedKey =
        path + (fFormBaseId ? QStringLiteral("\n1") : QStringLiteral("\n0"));
    const std::optional<FileIdentity> identity = identityOfPath(path);
    if (identity && wasTurnedDown(rejectedKey, *identity))
        return false;
    const auto turnDown = [&] {
        if (identity)
            rememberTurnedDown(rejectedKey, *identity);
        return false;
    };
    if (fFormBaseId) {
        if (!IsValidImageObject(path))
            return turnDown();
    } else if (!rel.contains(QLatin1Char('/'))) {
        consoleLine(QStringLiteral("Root Item [%1] May NOT be Uploaded!!!!!").arg(rel));
        return turnDown();
    }
    if (!metadataOf(path).embedded)
        return turnDown();
    if (fUploadMovie && !QFileInfo::exists(companionMoviePath(path)))
        return false;
    return isReady(rel, path);
}

bool Scan::isReady(const QString& rel, const QString& path) {
    const ItemReadiness photo = checkItemReadiness(path);
    ItemReadiness movie;
    movie.state = Readiness::Ready;
    const QString moviePath = companionMoviePath(path);
    // A movie is filed with its photo even when it is not sent: it must be finished too.
    if (fUploadMovie || identityOfPath(moviePath)) {
        movie = checkItemReadiness(moviePath);
        // A link beside the photo is only a problem for the movie's own upload.
        if (!fUploadMovie && (movie.state == Readiness::Refused || movie.state == Readiness::Gone))
            movie.state = Readiness::Ready;
    }
    for (const ItemReadiness* judged : {&photo, static_cast<const ItemReadiness*>(&movie)}) {
        const QString& file = judged == &photo ? path : moviePath;
        switch (judged->state) {
        case Readiness::Ready:
            break;
        case Readiness::Refused:
            reportOnce(QStringLiteral("refused:") + file,
                       QStringLiteral("[%1] %2; it is never uploaded").arg(file, judged->why),
                       false);
            return false;
        case Readiness::Gone:
            return false;
        case Readiness::BeingWritten:
        case Readiness::Settling:
        case Readiness::Unreadable: {
            // Looked at again soon; a writer that closes the file also wakes the watcher.
            const QString why =
                QStringLiteral("Waiting for [%1]: %2").arg(QFileInfo(file).fileName(), judged->why);
            myNSLog(QStringLiteral("[%1] is not ready yet: %2").arg(file, judged->why));
            fHost.itemHolds().holdBriefly(rel, std::min<qint64>(judged->retryInMs, 1000), why,
                                          nowMs());
            if (const auto hold = fHost.itemHolds().holdOf(rel, nowMs()))
                noteHeld(rel, *hold);
            return false;
        }
        }
    }
    fPhotoIdentity = photo.identity;
    fMovieIdentity = fUploadMovie ? movie.identity : std::nullopt;
    return true;
}

const PhotoMetadata& Scan::metadataOf(const QString& path) {
    const std::optional<FileIdentity> identity = identityOfPath(path);
    // A file that cannot be looked at now is read again: its reader gives the console line.
    if (!fLastRead || fLastRead->path != path || !identity || fLastRead->identity != identity)
        fLastRead = MetadataRead{path, identity, readPhotoMetadata(path)};
    return fLastRead->metadata;
}

void Scan::noteHeld(const QString& rel, const ItemHolds::Hold& hold) {
    if (!fFirstHeld || hold.untilMs < fFirstHeld->second.untilMs)
        fFirstHeld = std::make_pair(rel, hold);
}

void Scan::reportOnce(const QString& key, const QString& text, bool onStatusLine) {
    if (!firstReport(key))
        return;
    consoleLine(text);
    if (onStatusLine) {
        fHost.ibUpdateFTPCallbackStatusTextField(text, true);
        fFreshReport = text;
    }
}

void Scan::nothingToUpload() {
    consoleLine(QStringLiteral("Scanning done - NO File found for uploading..."));
    fHost.ibUpdateUploadStatusTextField(QStringLiteral("Done With Iteration..."));
    fHost.ibUpdateFTPCallbackStatusTextField(QStringLiteral("Waiting For New Images..."));
    fHost.startFolderWatcher(fRoot);
    Notification done;
    done.name = kCleanUpAfterCompleteLoop;
    done.object = fHost.notificationObject();
    done.userInfo = fNote.userInfo;
    NotificationCenter::defaultCenter().post(done);
    fHost.doSetupRetriggerTimerOnMainThread();
    if (fFirstHeld) {
        const auto& [rel, hold] = *fFirstHeld;
        const QString when = QDateTime::fromMSecsSinceEpoch(hold.untilMs).toString("HH:mm:ss");
        fHost.ibUpdateFTPCallbackStatusTextField(
            hold.failures > 0
                ? QStringLiteral("%1 - next try of [%2] at %3").arg(hold.why, rel, when)
                : hold.why,
            hold.failures > 0);
        fHost.startPassAfter(std::max<qint64>(1, hold.untilMs - nowMs()));
    } else if (!fFreshReport.isEmpty()) {
        fHost.ibUpdateFTPCallbackStatusTextField(fFreshReport, true);
    }
    finish(true);
}

void Scan::postItem(const QString& rel) {
    const QString path = fRoot + QLatin1Char('/') + rel;
    const QString user = fHost.currentUserName();

    // Readiness itself was judged in the walk; the metadata must still be there.
    const PhotoMetadata read = metadataOf(path);
    const bool hasMetadata = read.embedded.has_value();
    if (!hasMetadata && !isAccount(user, "juniper") && !isAccount(user, "fernhill")) {
        myNSLog(QStringLiteral("[%1] is not ready yet (still being written?); will look again")
                    .arg(path));
        fHost.pauseScanThread(1.0);
        {
            std::lock_guard<std::recursive_mutex> g(fHost.threadLock());
            fHost.setIsScanningFolder(false);
            fHost.setNeedsToRescan(true);
        }
        // Nothing else may be due to trigger a scan (no watcher yet, no timer): serve the
        // request here so the item is looked at again instead of waiting silently.
        fHost.startNextPass();
        return;
    }

    // Client name: later rules override earlier ones.
    std::optional<QString> client;
    const std::optional<QString> fuseSetting = Preferences::getGlvFuseAction();
    if (fuseSetting)
        doAlder = fuseSetting->compare(kUploadUpload, Qt::CaseInsensitive) != 0;
    const bool parentRule = !doAlder;
    auto setClient = [&](const QString& name) {
        client = name;
        fWork.insert(kUserEnteredClientName, name);
    };
    if (doAlder)
        setClient(nameWithoutExtension(rel));
    if (fFormBaseId) {
        const QString name = QFileInfo(rel).fileName();
        if (name.contains(QLatin1Char('_')))
            setClient(name.section(QLatin1Char('_'), 0, 0));
        else if (name.contains(QLatin1Char(' ')))
            setClient(name.section(QLatin1Char(' '), 0, 0));
        else
            setClient(nameWithoutExtension(name));
    } else if (parentRule) {
        setClient(QFileInfo(QFileInfo(rel).path()).fileName());
    }

    if (!QFileInfo::exists(path)) {
        consoleLine(QStringLiteral("WHAT???? FILE is LOST or Missing????? [%1]\n\n").arg(path));
        nothingToUpload();
        return;
    }
    const std::optional<QDateTime> fileDate = read.captureDate
                                                  ? fileCreationDate(path, *read.captureDate)
                                                  : GetAndUpdateFileCreationDate(path, true, false);
    if (!fileDate) {
        nothingToUpload();
        return;
    }
    QString captureTime = fileDate->toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));

    // Metadata text and fuse action.
    const std::optional<QString> metaSetting = Preferences::getPrefMetaData();
    QString metaText = metaSetting.value_or(QString(""));
    const QString fuseAction = fuseSetting.value_or(kUploadUpload);
    if (fuseSetting && !metaSetting) {
        static const std::pair<const char*, const char*> eventTexts[] = {
            {"upload.alder", "From Alder 2010 Event."},
            {"upload.birch", "From Birch Miami 2010 Event."},
            {"upload.cedar", "From Cedar 2010 Event."},
            {"upload.dogwood", "From Dogwood 2010."},
            {"upload.elmwood", "From Elmwood 2010 Event."},
        };
        for (const auto& [action, text] : eventTexts)
            if (fuseAction == QLatin1String(action))
                metaText = QString::fromLatin1(text);
    }

    // E-mail addresses and campaign details, from the JPEG comment only.
    std::optional<QString> emails;
    std::optional<QVariantMap> larch;
    if (fuseAction.compare(kUploadUpload, Qt::CaseInsensitive) != 0) {
        // The JPEG reader's answer is in hand unless the PNG reader gave the metadata.
        if (const auto comment = read.fromPng ? getKivoMetaDataFromJpeg(path) : read.embedded) {
            const QVariant larchValue = comment->value(QStringLiteral("QD_larchInfo"));
            if (larchValue.typeId() == QMetaType::QVariantMap)
                larch = larchValue.toMap();
            const QVariantList list = comment->value(QStringLiteral("QD_emailsForUpload")).toList();
            if (!list.isEmpty()) {
                QStringList firstFour;
                for (qsizetype i = 0; i < list.size() && i < 4; ++i)
                    firstFour << list.at(i).toString();
                emails = firstFour.join(QLatin1Char(','));
            }
        }
    }

    // Original path and sitting.
    std::optional<QString> originalPath;
    std::optional<QVariantMap> sitting;
    const std::optional<QVariantMap>& metadata = read.embedded;
    if (metadata) {
        const QVariant original = metadata->value(QStringLiteral("OriginalPath"));
        if (original.typeId() == QMetaType::QString)
            originalPath = original.toString();
        const QVariant sittingValue = metadata->value(QStringLiteral("SittingInfoDictionary"));
        if (sittingValue.typeId() == QMetaType::QVariantMap) {
            sitting = sittingValue.toMap();
            const QVariant capture = sitting->value(QStringLiteral("capturetime"));
            if (capture.typeId() == QMetaType::QString)
                captureTime = capture.toString();
        }
    }
    if (!sitting) {
        if (isAccount(user, "fernhill")) {
            const QString sittingId = getBaseIDFromFileName(path);
            if (!sittingId.isEmpty())
                sitting = QVariantMap{{QStringLiteral("sittingid"), sittingId}};
        }
        if (fuseAction.compare(QLatin1String("upload.fernhill"), Qt::CaseInsensitive) == 0)
            consoleLine(QStringLiteral("No sitting information in [%1]").arg(path));
    }

    auto record = std::make_shared<QVariantMap>(fWork);
    if (const auto mirror = Preferences::getLocalMasterMirrorSiteFolder())
        record->insert(cDictKeyLocalMirrorFolder, *mirror);
    if (const auto source = Preferences::getLocalSourceUploadFolder())
        record->insert(cDictKeyLocalSourceUploadFolder, *source);
    record->insert(cDictKeyCurItem, rel);
    record->insert(kEdUser, user);
    record->insert(kEdPasswd, fHost.currentPassword());
    record->insert(kEdFileName, path);
    if (client)
        record->insert(kEdClientName, *client);
    record->insert(kEdEventName, fWork.value(cDictKeyUserEnteredEventName).toString());
    record->insert(kEdMetaData, metaText);
    record->insert(kEdCaptureTime, captureTime);
    record->insert(kEdGlvFuseAction, fuseAction);
    if (sitting)
        record->insert(kEdSittingInfoDictionary, *sitting);
    if (emails)
        record->insert(kEdEmails, *emails);
    if (originalPath)
        record->insert(kEdOriginalPath, *originalPath);
    if (larch)
        record->insert(kEdLarchInfo, *larch);
    if (fPhotoIdentity)
        record->insert(kLocalItemIdentity, QVariant::fromValue(*fPhotoIdentity));
    if (fMovieIdentity)
        record->insert(kLocalMovieIdentity, QVariant::fromValue(*fMovieIdentity));

    Notification prepare;
    prepare.name = kPrepareUploadStartNotification;
    prepare.object = fHost.notificationObject();
    prepare.userInfo = record;
    NotificationCenter::defaultCenter().post(prepare);
    finish(true);
}

void Scan::finish(bool serveRescan) {
    bool pending;
    {
        std::lock_guard<std::recursive_mutex> g(fHost.threadLock());
        fHost.setIsScanningFolder(false);
        pending = fHost.rescanCount() != 0;
    }
    if (serveRescan && pending)
        fHost.startNextPass();
}

} // namespace

void scanFolder(ScanHost& host, const Notification& n) {
    Scan(host, n).run();
}

} // namespace kivo
