#include "platform/Trash.h"
#include "support/TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QUuid>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kivo;
using kivo::test::readFile;
using kivo::test::writeFile;

namespace {

// Every test gets an empty data home, so the Trash starts empty.
class Trash : public ::testing::Test {
protected:
    void SetUp() override {
        fSaved = qgetenv("XDG_DATA_HOME");
        setenv("XDG_DATA_HOME", test::makeTempFolder("data").toUtf8().constData(), 1);
        fTrash = userTrashFolder();
    }
    void TearDown() override { setenv("XDG_DATA_HOME", fSaved.constData(), 1); }

    // The record of a trashed item, as key/value pairs; the first line is kept under "".
    QMap<QString, QString> record(const QString& trashedName) const {
        QMap<QString, QString> out;
        const QStringList lines =
            QString::fromUtf8(readFile(fTrash + "/info/" + trashedName + ".trashinfo"))
                .split('\n', Qt::SkipEmptyParts);
        for (const QString& line : lines) {
            const qsizetype eq = line.indexOf('=');
            if (eq < 0)
                out[QString()] = line;
            else
                out[line.left(eq)] = line.mid(eq + 1);
        }
        return out;
    }
    QString originalPath(const QString& trashedName) const {
        return QString::fromUtf8(
            QByteArray::fromPercentEncoding(record(trashedName)["Path"].toUtf8()));
    }

    QByteArray fSaved;
    QString fTrash;
};

int modeOf(const QString& path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}

QDateTime nowToTheSecond() {
    const QDateTime now = QDateTime::currentDateTime();
    return now.addMSecs(-now.time().msec());
}

} // namespace

TEST_F(Trash, MovedItemKeepsItsContentAndARestorableRecord) {
    const QString dir = test::makeTempFolder("src");
    const QString name = QString::fromUtf8("old log 100%\u00E9.txt");
    const QString path = dir + "/" + name;
    ASSERT_TRUE(writeFile(path, "contents"));
    const QDateTime before = nowToTheSecond();

    QString trashedAs;
    ASSERT_TRUE(moveFileToUserTrash(path, &trashedAs));
    const QDateTime after = QDateTime::currentDateTime();

    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_EQ(trashedAs, fTrash + "/files/" + name);
    EXPECT_EQ(readFile(trashedAs), QByteArray("contents"));
    EXPECT_EQ(modeOf(fTrash), 0700);
    EXPECT_EQ(modeOf(fTrash + "/files"), 0700);
    EXPECT_EQ(modeOf(fTrash + "/info"), 0700);

    const auto info = record(name);
    EXPECT_EQ(info[QString()], QStringLiteral("[Trash Info]"));
    // Spaces, "%" and non-ASCII bytes are escaped; the path decodes back exactly.
    EXPECT_TRUE(info["Path"].endsWith(QStringLiteral("/old%20log%20100%25%C3%A9.txt")))
        << info["Path"].toStdString();
    EXPECT_EQ(originalPath(name), path);
    const QDateTime deleted =
        QDateTime::fromString(info["DeletionDate"], QStringLiteral("yyyy-MM-dd'T'HH:mm:ss"));
    ASSERT_TRUE(deleted.isValid()) << info["DeletionDate"].toStdString();
    EXPECT_GE(deleted, before);
    EXPECT_LE(deleted, after);
}

TEST_F(Trash, TakenNameGetsTheTimeSuffixAndEveryRecordSurvives) {
    const QDateTime before = nowToTheSecond();
    QStringList originals;
    QStringList trashed;
    for (int i = 0; i < 3; ++i) {
        const QString path = test::makeTempFolder("src") + "/a.log";
        ASSERT_TRUE(writeFile(path, QByteArray::number(i)));
        QString as;
        ASSERT_TRUE(moveFileToUserTrash(path, &as)) << i;
        originals << path;
        trashed << QFileInfo(as).fileName();
    }
    const QDateTime after = QDateTime::currentDateTime();

    EXPECT_EQ(trashed[0], QStringLiteral("a.log"));
    const QRegularExpression stamped(QStringLiteral(R"(^a\.log (\d{8}_\d{6})$)"));
    const auto m = stamped.match(trashed[1]);
    ASSERT_TRUE(m.hasMatch()) << trashed[1].toStdString();
    const QDateTime stamp = QDateTime::fromString(m.captured(1), QStringLiteral("yyyyMMdd_HHmmss"));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    EXPECT_TRUE(trashed[2].startsWith(QStringLiteral("a.log ")));
    EXPECT_EQ(QSet<QString>(trashed.begin(), trashed.end()).size(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(readFile(fTrash + "/files/" + trashed[i]), QByteArray::number(i));
        EXPECT_EQ(originalPath(trashed[i]), originals[i]);
    }
}

TEST_F(Trash, MissingItemIsRefusedWithoutARecord) {
    const QString path = test::makeTempFolder("src") + "/gone.log";
    test::FdCapture err;
    EXPECT_FALSE(moveFileToUserTrash(path));
    EXPECT_TRUE(err.text().contains(
        QStringLiteral("moveFileToUserTrash => item [%1] is NOT deletable...").arg(path).toUtf8()));
    EXPECT_TRUE(QDir(fTrash + "/info").entryList(QDir::Files).isEmpty());
}

TEST_F(Trash, ItemOnAnotherFileSystemIsCopiedThenRemoved) {
    const QString shm = QStringLiteral("/dev/shm");
    struct stat a {};
    struct stat b {};
    if (::stat("/dev/shm", &a) != 0 || ::access("/dev/shm", W_OK) != 0 ||
        !makePrivateFolders(fTrash) || ::stat(QFile::encodeName(fTrash).constData(), &b) != 0 ||
        a.st_dev == b.st_dev)
        GTEST_SKIP() << "no writable second file system at /dev/shm";

    const QString dir = shm + "/kivo-trash-" + QUuid::createUuid().toString(QUuid::Id128);
    ASSERT_TRUE(QDir().mkpath(dir));
    const QString path = dir + "/big.bin";
    QByteArray bytes(300 * 1024, '\0');
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 7);
    ASSERT_TRUE(writeFile(path, bytes));
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0640), 0);
    const struct timespec old[2] = {{1262304000, 0}, {1262304000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), old, 0), 0);

    QString as;
    const bool moved = moveFileToUserTrash(path, &as);
    const bool sourceLeft = QFileInfo::exists(path);
    QDir(dir).removeRecursively();
    ASSERT_TRUE(moved);
    EXPECT_FALSE(sourceLeft);
    EXPECT_EQ(readFile(as), bytes);
    EXPECT_EQ(modeOf(as), 0640);
    EXPECT_EQ(QFileInfo(as).lastModified().toSecsSinceEpoch(), 1262304000);
    EXPECT_EQ(originalPath(QStringLiteral("big.bin")), path);
}
