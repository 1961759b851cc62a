// Finding the original of an order on a real tree, under each search method.
#include "files/OriginalSearch.h"
#include "files/QDI_FileManager.h"
#include "platform/Defaults.h"
#include "settings/Preferences.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <memory>

using namespace kivo;

namespace {

class OriginalSearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = test::makeTempFolder("originals");
        store = std::make_unique<Defaults>(root + "/settings.plist", -1);
        Preferences::useStore(store.get());
        archive = root + "/Archive";
        stored = root + "/Shoot/Event12/Group7/IMG_0042.JPG";
    }
    void TearDown() override { Preferences::useStore(nullptr); }

    void put(const QString& path) {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
        ASSERT_TRUE(test::writeFile(path, "original")) << path.toStdString();
    }
    void method(int tag) { store->setInteger(sPrefSearchPathMethodTag, tag); }
    QString find(const QString& path, bool withArchive = true) {
        const auto found = QDI_FileManager::doResolveOriginalPath(
            path, withArchive ? std::optional<QStringList>(QStringList{archive}) : std::nullopt);
        return found.value_or(QStringLiteral("<none>"));
    }

    QString root, archive, stored;
    std::unique_ptr<Defaults> store;
};

TEST_F(OriginalSearchTest, CandidatesComeInOrderUnderEachMethod) {
    put(stored);
    // Made out of name order, so a listing in creation or hash order shows.
    for (const char* copy : {"/2010/Group7/IMG_0042.JPG", "/2009/Event12/Group7/IMG_0042.JPG",
                             "/.hidden/Event12/Group7/IMG_0042.JPG", "/Group7/IMG_0042.JPG",
                             "/Event12/Group7/IMG_0042.JPG"})
        put(archive + copy);
    // A folder in a candidate's place does not count.
    ASSERT_TRUE(QDir().mkpath(archive + "/2010/Event12/Group7/IMG_0042.JPG"));

    method(0);
    EXPECT_EQ(find(stored), "<none>");
    method(2);
    EXPECT_EQ(find(stored, false), "<none>") << "no alternate folder: not even the stored path";

    // Stored path first, then the tails from the longest, then the sub-folders by name; the
    // hidden sub-folder is never searched.
    const QStringList expected{
        stored, archive + "/Event12/Group7/IMG_0042.JPG", archive + "/Group7/IMG_0042.JPG",
        archive + "/2009/Event12/Group7/IMG_0042.JPG", archive + "/2010/Group7/IMG_0042.JPG"};
    for (const QString& next : expected) {
        EXPECT_EQ(find(stored), next);
        ASSERT_TRUE(QFile::remove(next));
    }
    EXPECT_EQ(find(stored), "<none>");

    // Method 1 takes the stored path only; method 3 takes it even as a folder.
    put(archive + "/Group7/IMG_0042.JPG");
    method(1);
    EXPECT_EQ(find(stored), "<none>");
    put(stored);
    EXPECT_EQ(find(stored), stored);
    method(3);
    EXPECT_EQ(find(root + "/Shoot/Event12"), root + "/Shoot/Event12");

    // A file directly below "/" has no tail to try under the alternate folder.
    method(2);
    put(archive + "/IMG_9999.JPG");
    EXPECT_EQ(find("/IMG_9999.JPG"), "<none>");
}

TEST_F(OriginalSearchTest, EscapesAreDecodedOnceAsUtf8OrMacRoman) {
    EXPECT_EQ(decodePercentEscapes("My%20Shoot/Caf%C3%A9"), QString("My Shoot/Café"));
    EXPECT_EQ(decodePercentEscapes("Caf%8E"), QString("Café")) << "not UTF-8: Mac OS Roman";
    EXPECT_EQ(decodePercentEscapes("100%25.jpg"), QString("100%.jpg"));
    for (const char* bad : {"50%G1.jpg", "lone%", "cut%4"})
        EXPECT_FALSE(decodePercentEscapes(bad)) << bad;

    const QString real = root + "/My Shoot/Café/IMG 1.jpg";
    put(real);
    method(1);
    EXPECT_EQ(find(root + "/My%20Shoot/Caf%C3%A9/IMG%201.jpg"), real);

    // A "%" that starts no escape: the stored path is taken as it is, the folder search
    // finds nothing.
    const QString odd = root + "/Odd/50%G1.jpg";
    put(odd);
    put(archive + "/Odd/50%G1.jpg");
    method(3);
    EXPECT_EQ(find(odd), odd);
    ASSERT_TRUE(QFile::remove(odd));
    EXPECT_EQ(find(odd), "<none>");
}

} // namespace
