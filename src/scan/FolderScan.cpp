#include "scan/FolderScan.h"

#include "app/Pipeline.h"
#include "log/Printing.h"
#include "platform/Console.h"
#include "platform/Defaults.h"
#include "scan/CaptureDate.h"
#include "scan/EmbeddedMetadata.h"
#include "scan/ImageCheck.h"
#include "settings/Preferences.h"

#include <QDir>
#include <QFileInfo>
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

// Creates the mirror of a source directory with the source's own permissions; an existing
// folder is left as it is.
void mirrorDirectory(const QString& sourceDir, const QString& mirrorDir) {
    struct stat st {};
    mode_t mode = 0755;
    if (::lstat(QFile::encodeName(sourceDir).constData(), &st) == 0)
        mode = st.st_mode & 07777;
    const QByteArray target = QFile::encodeName(mirrorDir);
    if (::mkdir(target.constData(), mode) == 0)
        ::chmod(target.constData(), mode); // the umask must not narrow what the source allows
}

// Depth-first, name-sorted, a directory before its contents. Directories reached through a
// symbolic link are reported but not entered, so a link loop cannot trap the walk. visit
// returns false to stop.
bool walk(const QString& root, const QString& relative,
          const std::function<bool(const QString& rel, const QFileInfo& info)>& visit) {
    const QDir dir(relative.isEmpty() ? root : root + QLatin1Char('/') + relative);
    const QFileInfoList entries = dir.entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& info : entries) {
        const QString rel =
            relative.isEmpty() ? info.fileName() : relative + QLatin1Char('/') + info.fileName();
        if (!visit(rel, info))
            return false;
        if (info.isDir() && !info.isSymLink() && !walk(root, rel, visit))
            return false;
    }
    return true;
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
    // Clears the scan mark; a rescan asked for meanwhile starts the next pass.
    void finish(bool serveRescan);

    ScanHost& fHost;
    const Notification& fNote;
    QVariantMap fWork;
    QString fRoot;
    QString fMirror;
    bool fFormBaseId = false;
    bool fUploadMovie = false;
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
    walk(fRoot, QString(), [&](const QString& rel, const QFileInfo& info) {
        if (info.isDir()) {
            mirrorDirectory(info.filePath(), fMirror + QLatin1Char('/') + rel);
            return true;
        }
        if (!isCandidate(rel, info))
            return true;
        chosen = rel;
        return false;
    });
    return chosen;
}

bool Scan::isCandidate(const QString& rel, const QFileInfo& info) {
    if (info.fileName().startsWith(QLatin1Char('.')))
        return false;
    // Movies travel with their photo and are never items of their own (checked before the
    // costly decode below, with the same outcome).
    if (info.suffix().compare(QLatin1String("mov"), Qt::CaseInsensitive) == 0)
        return false;
    const QString path = fRoot + QLatin1Char('/') + rel;
    if (fFormBaseId) {
        if (!IsValidImageObject(path))
            return false;
    } else if (!rel.contains(QLatin1Char('/'))) {
        consoleLine(QStringLiteral("Root Item [%1] May NOT be Uploaded!!!!!").arg(rel));
        return false;
    }
    if (!readEmbeddedMetadata(path))
        return false;
    if (fUploadMovie && !QFileInfo::exists(companionMoviePath(path)))
        return false;
    return true;
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
    finish(true);
}

void Scan::postItem(const QString& rel) {
    const QString path = fRoot + QLatin1Char('/') + rel;
    const QString user = fHost.currentUserName();

    // The photo may still be in the making: its metadata is written first, so also ask that
    // a JPEG be complete.
    const bool hasMetadata = readEmbeddedMetadata(path).has_value();
    if ((!hasMetadata && !isAccount(user, "juniper") && !isAccount(user, "fernhill")) ||
        !isFileComplete(path)) {
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
    const std::optional<QDateTime> fileDate = GetAndUpdateFileCreationDate(path, true, false);
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
        if (const auto comment = getKivoMetaDataFromJpeg(path)) {
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
    const std::optional<QVariantMap> metadata = readEmbeddedMetadata(path);
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
