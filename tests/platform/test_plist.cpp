#include "platform/PropertyList.h"
#include "support/TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>

using namespace kivo;

namespace {

const QByteArray kSample = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>name</key><string>Summer &amp; Co</string>
	<key>count</key><integer>-12</integer>
	<key>ratio</key><real>2.5</real>
	<key>on</key><true/>
	<key>off</key><false/>
	<key>when</key><date>2024-02-03T04:05:06Z</date>
	<key>blob</key><data>AAEC</data>
	<key>list</key><array><string>a</string><integer>7</integer></array>
	<key>nested</key><dict><key>inner</key><string>x</string></dict>
</dict>
</plist>)";

QDateTime utc(int y, int mo, int d, int h, int mi, int s, int ms = 0) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC);
}

} // namespace

TEST(PropertyList, ReadsEveryKindDespiteLeadingJunkAndTrailingPadding) {
    const QByteArray bytes = QByteArray("\xEF\xBB\xBFjunk\n") + kSample +
                             QByteArray("\n\0\0\0\0   ", 9) + QByteArray(512, '\0');
    std::optional<QVariantMap> dict = plist::parseDictionary(bytes);
    ASSERT_TRUE(dict.has_value());
    const QVariantMap& d = *dict;
    EXPECT_EQ(d.value("name").toString(), QString("Summer & Co"));
    EXPECT_EQ(d.value("count").typeId(), QMetaType::LongLong);
    EXPECT_EQ(d.value("count").toLongLong(), -12);
    EXPECT_EQ(d.value("ratio").typeId(), QMetaType::Double);
    EXPECT_DOUBLE_EQ(d.value("ratio").toDouble(), 2.5);
    EXPECT_EQ(d.value("on").typeId(), QMetaType::Bool);
    EXPECT_TRUE(d.value("on").toBool());
    EXPECT_FALSE(d.value("off").toBool());
    EXPECT_EQ(d.value("when").toDateTime(), utc(2024, 2, 3, 4, 5, 6));
    EXPECT_EQ(d.value("blob").toByteArray(), QByteArray("\0\1\2", 3));
    EXPECT_EQ(d.value("list").toList(), (QVariantList{QString("a"), qint64(7)}));
    EXPECT_EQ(d.value("nested").toMap().value("inner").toString(), QString("x"));
}

TEST(PropertyList, ReadsBinaryPlists) {
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "s", plist_new_string("Zürich ✓"));
    plist_dict_set_item(root, "i", plist_new_uint(uint64_t(-3)));
    plist_dict_set_item(root, "r", plist_new_real(0.1));
    plist_dict_set_item(root, "b", plist_new_bool(1));
    plist_dict_set_item(root, "d", plist_new_date(-86400, 0)); // 2000-12-31
    plist_dict_set_item(root, "x", plist_new_data("\0\xff", 2));
    plist_t array = plist_new_array();
    plist_array_append_item(array, plist_new_string("one"));
    plist_dict_set_item(root, "a", array);
    char* bin = nullptr;
    uint32_t len = 0;
    plist_to_bin(root, &bin, &len);
    plist_free(root);
    ASSERT_NE(bin, nullptr);
    const QByteArray bytes(bin, qsizetype(len));
    plist_to_bin_free(bin);
    ASSERT_TRUE(bytes.startsWith("bplist00"));

    std::optional<QVariantMap> d = plist::parseDictionary(bytes);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->value("s").toString(), QString::fromUtf8("Zürich ✓"));
    EXPECT_EQ(d->value("i").toLongLong(), -3);
    EXPECT_DOUBLE_EQ(d->value("r").toDouble(), 0.1);
    EXPECT_EQ(d->value("b").typeId(), QMetaType::Bool);
    EXPECT_EQ(d->value("d").toDateTime(), utc(2000, 12, 31, 0, 0, 0));
    EXPECT_EQ(d->value("x").toByteArray(), QByteArray("\0\xff", 2));
    EXPECT_EQ(d->value("a").toList(), QVariantList{QString("one")});

    // What was read from binary survives being written as XML.
    EXPECT_EQ(plist::parseDictionary(plist::toXml(*d)), d);
}

TEST(PropertyList, RefusesEntitiesAndBadInput) {
    const QByteArray internalSubset =
        R"(<?xml version="1.0"?><!DOCTYPE plist [<!ENTITY x "boom">]>)"
        R"(<plist><string>&x;</string></plist>)";
    EXPECT_FALSE(plist::parse(internalSubset).has_value());
    // An entity declaration is refused even where a parser might skip over it.
    const QByteArray strayEntity = R"(<!ENTITY y SYSTEM "file:///etc/passwd">)"
                                   R"(<plist><string>ok</string></plist>)";
    EXPECT_FALSE(plist::parse(strayEntity).has_value());
    // The ordinary external DTD line is accepted and never fetched.
    EXPECT_TRUE(plist::parseDictionary(kSample).has_value());

    EXPECT_FALSE(plist::parse("").has_value());
    EXPECT_FALSE(plist::parse("not a property list at all").has_value());
    EXPECT_FALSE(plist::parse("<plist><dict><key>a</key><string>cut").has_value());
    EXPECT_FALSE(plist::parse(QByteArray("bplist00\0\0garbage", 17)).has_value());
}

TEST(PropertyList, ParseDictionaryAcceptsOnlyDictionaryRoots) {
    const QByteArray arrayRoot = "<plist><array><string>a</string></array></plist>";
    const QByteArray stringRoot = "<plist><string>a</string></plist>";
    ASSERT_TRUE(plist::parse(arrayRoot).has_value());
    EXPECT_EQ(plist::parse(arrayRoot)->toList(), QVariantList{QString("a")});
    EXPECT_FALSE(plist::parseDictionary(arrayRoot).has_value());
    EXPECT_FALSE(plist::parseDictionary(stringRoot).has_value());
    EXPECT_TRUE(plist::parseDictionary("<plist><dict/></plist>").has_value());

    const QString folder = test::makeTempFolder("plist");
    ASSERT_TRUE(test::writeFile(folder + "/array.plist", arrayRoot));
    EXPECT_FALSE(plist::readDictionaryFile(folder + "/array.plist").has_value());
    EXPECT_FALSE(plist::readDictionaryFile(folder + "/missing.plist").has_value());
}

TEST(PropertyList, UnicodeDatesAndContainersRoundTrip) {
    const QString text = QString::fromUtf8("Café <b> & \"q\" 日本 😀");
    QVariantMap in;
    in.insert(QString::fromUtf8("clé ✓"), text);
    in.insert("when", utc(2023, 7, 14, 22, 30, 5, 250));
    in.insert("before2001", utc(1999, 12, 31, 23, 59, 59));
    in.insert("big", qint64(1) << 40);
    in.insert("negative", qint64(-42));
    in.insert("real", 1.0 / 3.0);
    in.insert("flag", false);
    in.insert("bytes", QByteArray("\0a\0", 3));
    in.insert("names", QStringList{"x", "y"});
    in.insert("nested", QVariantMap{{"list", QVariantList{1, 2.5, true}}});

    std::optional<QVariantMap> out = plist::parseDictionary(plist::toXml(in));
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->value(QString::fromUtf8("clé ✓")).toString(), text);
    // XML dates carry whole seconds.
    EXPECT_EQ(out->value("when").toDateTime(), utc(2023, 7, 14, 22, 30, 5));
    EXPECT_EQ(out->value("before2001").toDateTime(), utc(1999, 12, 31, 23, 59, 59));
    EXPECT_EQ(out->value("big").toLongLong(), qint64(1) << 40);
    EXPECT_EQ(out->value("negative").toLongLong(), -42);
    EXPECT_EQ(out->value("real").toDouble(), 1.0 / 3.0);
    EXPECT_EQ(out->value("flag").typeId(), QMetaType::Bool);
    EXPECT_EQ(out->value("bytes").toByteArray(), QByteArray("\0a\0", 3));
    EXPECT_EQ(out->value("names").toList(), (QVariantList{QString("x"), QString("y")}));
    const QVariantList nested = out->value("nested").toMap().value("list").toList();
    ASSERT_EQ(nested.size(), 3);
    EXPECT_EQ(nested[0].toLongLong(), 1);
    EXPECT_EQ(nested[1].toDouble(), 2.5);
    EXPECT_EQ(nested[2].typeId(), QMetaType::Bool);
}

TEST(PropertyList, AtomicWriteCreatesFolderOwnerOnlyAndReportsFailure) {
    const QString folder = test::makeTempFolder("plist") + "/new/sub";
    const QString path = folder + "/settings.plist";
    QString error;
    ASSERT_TRUE(plist::writeXmlFileAtomically(path, QVariantMap{{"k", "v"}}, &error))
        << error.toStdString();
    EXPECT_EQ(plist::readDictionaryFile(path), (QVariantMap{{"k", "v"}}));
    auto mode = [](const QString& p) {
        struct stat st {};
        return ::stat(QFile::encodeName(p).constData(), &st) == 0 ? st.st_mode & 0777 : 0u;
    };
    EXPECT_EQ(mode(path), 0600u);
    EXPECT_EQ(mode(folder), 0700u);
    EXPECT_EQ(mode(QFileInfo(folder).absolutePath()), 0700u);
    // An older world-readable file becomes owner-only when saved over.
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0644), 0);
    ASSERT_TRUE(plist::writeXmlFileAtomically(path, QVariantMap{{"k", "w"}}, &error));
    EXPECT_EQ(mode(path), 0600u);

    // A directory standing where the file should go: the write fails and says why.
    const QString blocked = test::makeTempFolder("plist") + "/taken.plist";
    ASSERT_TRUE(QDir().mkpath(blocked + "/inside"));
    error.clear();
    EXPECT_FALSE(plist::writeXmlFileAtomically(blocked, QVariantMap{{"k", "v"}}, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(QFileInfo(blocked + "/inside").isDir());
}
