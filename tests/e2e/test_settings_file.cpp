// The real program with a settings file that is hostile or cannot be read: it starts at once,
// uploads with the settings it was given on the command line, says in its log which file it
// refused and why, and never destroys the file.
#include "../platform/BinaryPlistBuilder.h"
#include "ProgramRun.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace kivo::test;

namespace {

class SettingsFile : public ProgramWithService {
protected:
    QString settingsPath() const {
        return run.root() + "/home/.config/com.quandril.KivoUploader.plist";
    }
    // The daily log only: what start-up wrote once the log file was set up.
    QByteArray dailyLog() const {
        const QString folder = run.root() + "/home/.local/state/Kivo";
        QByteArray all;
        for (const QString& name : QDir(folder).entryList({"*.log"}, QDir::Files))
            all += readFile(folder + "/" + name);
        return all;
    }
    void expectUploadedAndLogged(const QString& photo, const QByteArray& reason) {
        EXPECT_TRUE(waitUntil([&] { return run.whereIs(photo) == "mirror"; }, 30000))
            << run.console().right(3000).toStdString();
        const QByteArray log = dailyLog();
        const QByteArray line = "Settings file [" + settingsPath().toUtf8() + "] ";
        const qsizetype at = log.indexOf(line);
        ASSERT_GE(at, 0) << log.right(3000).toStdString();
        const QByteArray said = log.mid(at, log.indexOf('\n', at) - at);
        EXPECT_TRUE(said.contains(reason)) << said.toStdString();
        EXPECT_TRUE(run.stop()) << "quits cleanly";
    }
    QStringList besideSettings() const {
        return QDir(QFileInfo(settingsPath()).path())
            .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    }
};

TEST_F(SettingsFile, ASharedReferenceBombIsMovedAsideWhole) {
    const QByteArray bomb = bplist::sharedReferenceBomb();
    ASSERT_TRUE(writeFile(settingsPath(), bomb));
    const QString photo = run.makePhotos(1).value(0);
    ASSERT_TRUE(run.start(service.url()));
    expectUploadedAndLogged(photo, "would expand to more than 1000000 values; moved it aside");

    QStringList aside = besideSettings().filter(".refused-");
    ASSERT_EQ(aside.size(), 1) << besideSettings().join(' ').toStdString();
    EXPECT_EQ(readFile(QFileInfo(settingsPath()).path() + "/" + aside.front()), bomb);
}

TEST_F(SettingsFile, AFifoIsLeftAlone) {
    ASSERT_EQ(::mkfifo(QFile::encodeName(settingsPath()).constData(), 0600), 0);
    const QString photo = run.makePhotos(1).value(0);
    ASSERT_TRUE(run.start(service.url()));
    expectUploadedAndLogged(photo, "is a FIFO, not a regular file");

    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(settingsPath()).constData(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(besideSettings(), QStringList{QFileInfo(settingsPath()).fileName()});
}

// Unreadable yet writable (the harder case than no permissions at all): left as it was all
// through a run that stores settings back (defaults it reads, and everything at quit).
TEST_F(SettingsFile, AWriteOnlyFileIsNeverSavedOver) {
    const QByteArray settings = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>userLoginName</key><string>kept</string></dict></plist>
)";
    ASSERT_TRUE(writeFile(settingsPath(), settings));
    ASSERT_EQ(::chmod(QFile::encodeName(settingsPath()).constData(), 0200), 0);
    const QString photo = run.makePhotos(1).value(0);
    ASSERT_TRUE(run.startSubjectToFilePermissions(service.url()));
    expectUploadedAndLogged(photo, "cannot be read: Permission denied");

    EXPECT_EQ(readFile(settingsPath()), settings);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(settingsPath()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0200u);
    EXPECT_EQ(besideSettings(), QStringList{QFileInfo(settingsPath()).fileName()});
}

} // namespace
