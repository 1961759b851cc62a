#include "BinaryPlistBuilder.h"
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
    EXPECT_EQ(*dict, (QVariantMap{{"name", "Summer & Co"},
                                  {"count", qint64(-12)},
                                  {"ratio", 2.5},
                                  {"on", true},
                                  {"off", false},
                                  {"when", utc(2024, 2, 3, 4, 5, 6)},
                                  {"blob", QByteArray("\0\1\2", 3)},
                                  {"list", QVariantList{QString("a"), qint64(7)}},
                                  {"nested", QVariantMap{{"inner", "x"}}}}));
    // Equality compares numbers by value: the kinds must match as well.
    EXPECT_EQ(dict->value("count").typeId(), QMetaType::LongLong);
    EXPECT_EQ(dict->value("ratio").typeId(), QMetaType::Double);
    EXPECT_EQ(dict->value("on").typeId(), QMetaType::Bool);
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
    EXPECT_EQ(*d, (QVariantMap{{"s", QString::fromUtf8("Zürich ✓")},
                               {"i", qint64(-3)},
                               {"r", 0.1},
                               {"b", true},
                               {"d", utc(2000, 12, 31, 0, 0, 0)},
                               {"x", QByteArray("\0\xff", 2)},
                               {"a", QVariantList{QString("one")}}}));
    EXPECT_EQ(d->value("b").typeId(), QMetaType::Bool);

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
    QVariantMap expected = in;
    expected["when"] = utc(2023, 7, 14, 22, 30, 5); // XML dates carry whole seconds
    expected["names"] = QVariantList{QString("x"), QString("y")};
    EXPECT_EQ(*out, expected);
    EXPECT_EQ(out->value("flag").typeId(), QMetaType::Bool);
    EXPECT_EQ(out->value("nested").toMap().value("list").toList().value(2).typeId(),
              QMetaType::Bool);
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

namespace {

plist::Problem problemOf(const QByteArray& bytes) {
    plist::Failure failure;
    plist::parse(bytes, &failure);
    return failure.problem;
}

QByteArray xmlNestedArrays(int levels) {
    return "<plist>" + QByteArray("<array>").repeated(levels) +
           QByteArray("</array>").repeated(levels) + "</plist>";
}

} // namespace

TEST(PropertyListBounds, SharingObjectsWithinTheBoundIsAccepted) {
    // A shared-reference bomb is refused by the same count (see the settings store's tests);
    // sharing as such is fine: 200 keys naming one string, two arrays sharing a third.
    namespace bp = test::bplist;
    QList<QByteArray> objects{QByteArray(), bp::ascii("shared"), bp::array({1, 1}),
                              bp::array({2, 2, 1})};
    QList<int> keys, values;
    for (int i = 0; i < 200; ++i) {
        keys << objects.size();
        values << (i % 2 ? 1 : 3);
        objects << bp::ascii("k" + QByteArray::number(i));
    }
    objects[0] = bp::dict(keys, values);
    const std::optional<QVariantMap> d = plist::parseDictionary(bp::file(objects));
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->size(), 200);
    EXPECT_EQ(d->value("k1").toString(), QString("shared"));
    const QVariantList pair{QString("shared"), QString("shared")};
    EXPECT_EQ(d->value("k0").toList(), (QVariantList{pair, pair, QString("shared")}));
}

TEST(PropertyListBounds, BinaryInputTheParserChokesOnIsRefused) {
    namespace bp = test::bplist;
    // An array inside itself, directly or further down.
    EXPECT_EQ(problemOf(bp::file({bp::array({0})})), plist::Problem::Malformed);
    EXPECT_EQ(problemOf(bp::file({bp::array({1}), bp::array({2}), bp::array({0})})),
              plist::Problem::Malformed);
    // A key holding U+0000 made libplist fail an assertion, ending the program at start-up.
    const QString nul = QString("a") + QChar(0) + "b";
    EXPECT_EQ(problemOf(bp::file({bp::dict({1}, {2}), bp::utf16(nul), bp::ascii("v")})),
              plist::Problem::Malformed);
    // As a value it is only cut short, as it would be on saving.
    const std::optional<QVariantMap> d =
        plist::parseDictionary(bp::file({bp::dict({1}, {2}), bp::ascii("k"), bp::utf16(nul)}));
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->value("k").toString(), QString("a"));
}

TEST(PropertyListBounds, NestingIsBoundedAlikeInXmlAndBinary) {
    EXPECT_TRUE(plist::parse(xmlNestedArrays(64)).has_value());
    EXPECT_TRUE(plist::parse(test::bplist::nestedArrays(64)).has_value());
    EXPECT_EQ(problemOf(xmlNestedArrays(65)), plist::Problem::TooLarge);
    EXPECT_EQ(problemOf(test::bplist::nestedArrays(65)), plist::Problem::TooLarge);

    // A million levels in 15 MB: the parser would take it, then overflow the stack freeing it.
    EXPECT_EQ(problemOf(xmlNestedArrays(1000000)), plist::Problem::TooLarge);
    // As many values as bytes allow, flat.
    const QByteArray flat =
        "<plist><array>" + QByteArray("<true/>").repeated(1000001) + "</array></plist>";
    plist::Failure failure;
    plist::parse(flat, &failure);
    EXPECT_EQ(failure.problem, plist::Problem::TooLarge);
    EXPECT_TRUE(failure.reason.contains("1000000 values")) << failure.reason.toStdString();
}

TEST(PropertyListBounds, XmlNestingCannotHideFromTheCount) {
    // Closing tags the parser skips over, and its quirk of filing content after an empty root
    // into that root: shallow they parse, deep they are refused.
    const std::pair<const char*, QByteArray> levels[] = {
        {"comment", "<array><!-- </array> -->"},
        {"quoted attribute", "<array note=\"</array>\">"},
        {"processing instruction", "<array><?pi \"?></array>\"?>"},
        {"cdata", "<array><string><![CDATA[</array>]]></string>"},
        {"value comment", "<array><string>a<!--</array>--></string>"},
    };
    for (const auto& [name, level] : levels) {
        SCOPED_TRACE(name);
        auto doc = [&](int n) {
            return "<plist>" + level.repeated(n) + QByteArray("</array>").repeated(n) + "</plist>";
        };
        EXPECT_TRUE(plist::parse(doc(5)).has_value());
        EXPECT_EQ(problemOf(doc(200)), plist::Problem::TooLarge);
    }
    auto afterEmptyRoot = [](int n) {
        return "<plist><array/>" + QByteArray("<array>").repeated(n) +
               QByteArray("</array>").repeated(n) + "</plist>";
    };
    const std::optional<QVariant> shallow = plist::parse(afterEmptyRoot(2));
    ASSERT_TRUE(shallow.has_value());
    EXPECT_EQ(shallow->toList(), QVariantList{QVariantList{QVariantList{}}});
    EXPECT_EQ(problemOf(afterEmptyRoot(64)), plist::Problem::TooLarge);
}

TEST(PropertyListBounds, KeysMadeToCollideAreRefusedBeforeParsing) {
    // "aB" and "b!" hash alike in libplist, so these keys all share one bucket: 6.5 MB of them
    // kept the parser busy for minutes.
    QByteArray xml = "<plist><dict>";
    for (int bits = 0; bits < (1 << 17); ++bits) {
        QByteArray key;
        for (int i = 0; i < 17; ++i)
            key += (bits >> i) & 1 ? "aB" : "b!";
        xml += "<key>" + key + "</key><true/>";
    }
    xml += "</dict></plist>";
    plist::Failure failure;
    EXPECT_FALSE(plist::parse(xml, &failure).has_value());
    EXPECT_EQ(failure.problem, plist::Problem::TooLarge);
    EXPECT_TRUE(failure.reason.contains("too many keys")) << failure.reason.toStdString();

    // The same from a binary file, which would be saved as XML.
    namespace bp = test::bplist;
    QList<int> keyRefs, valueRefs;
    QList<QByteArray> objects{QByteArray(), bp::ascii("v")};
    for (int i = 0; i < 9000; ++i) {
        keyRefs << objects.size();
        valueRefs << 1;
        objects << bp::ascii("k" + QByteArray::number(i));
    }
    objects[0] = bp::dict(keyRefs, valueRefs);
    EXPECT_EQ(problemOf(bp::file(objects)), plist::Problem::TooLarge);
}

// FIFOs, folders and unreadable files: see the settings store's tests.
TEST(PropertyListFiles, FilesAreReadUpToTheSizeLimit) {
    const QString big = test::makeTempFolder("plistfile") + "/big.plist";
    ASSERT_TRUE(test::writeFile(big, "<plist><dict><key>k</key><string>v</string></dict></plist>"));
    ASSERT_TRUE(QFile::resize(big, plist::kMaxFileBytes + 1));
    const plist::DictionaryFile read = plist::loadDictionaryFile(big);
    EXPECT_EQ(read.failure.problem, plist::Problem::TooLarge);
    EXPECT_TRUE(read.failure.reason.contains("16 MiB")) << read.failure.reason.toStdString();
    // Padding up to the limit is still read.
    ASSERT_TRUE(QFile::resize(big, plist::kMaxFileBytes));
    EXPECT_EQ(plist::loadDictionaryFile(big).dictionary, (QVariantMap{{"k", "v"}}));
}

TEST(PropertyList, WhatIsReadIsWhatIsWrittenBack) {
    // A value that would change on saving would change the settings behind the user's back.
    const QByteArray bytes(
        "<plist><dict><key>k</key><string>Z\0\0(&amp; Co</string></dict></plist>", 69);
    const std::optional<QVariantMap> read = plist::parseDictionary(bytes);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(plist::parseDictionary(plist::toXml(*read)), read);
}
