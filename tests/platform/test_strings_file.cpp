#include "platform/StringsFile.h"
#include "support/TestSupport.h"

#include <QDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

using kivo::strings::Problem;

namespace {
kivo::strings::Table parseText(const char* utf8) {
    return kivo::strings::parse(QByteArray(utf8));
}
} // namespace

TEST(StringsFile, ReadsTheSyntaxOfTheMessageTables) {
    const auto t = parseText(R"(
        /* a comment { with "quotes" } */
        "key one" = { title = "Say \"hi\"\\now\n\tok"; // to the end of the line
                      word = plain_word-1.2:/x$+;
                      list = ( "a", b, ( c ), );
                      uni = "\U00e9\Ud83d\Ude00\101";
                    };
        empty = {};
    )");
    ASSERT_EQ(t.problem, Problem::None) << t.reason.toStdString();
    const QVariantMap one = t.dictionary.value("key one").toMap();
    EXPECT_EQ(one.value("title").toString(), "Say \"hi\"\\now\n\tok");
    EXPECT_EQ(one.value("word").toString(), "plain_word-1.2:/x$+");
    EXPECT_EQ(one.value("list").toList(), (QVariantList{"a", "b", QVariantList{"c"}}));
    EXPECT_EQ(one.value("uni").toString(), QString::fromUtf8("\xC3\xA9\xF0\x9F\x98\x80"
                                                             "A"));
    EXPECT_EQ(t.dictionary.value("empty").typeId(), QMetaType::QVariantMap);

    // A braced root, and a file saved as UTF-16 with its byte-order mark.
    const QString text = QString::fromUtf8("{ \"t\" = \"S\xC3\xAD\"; }");
    QByteArray utf16("\xFF\xFE", 2);
    utf16.append(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    const auto wide = kivo::strings::parse(utf16);
    ASSERT_EQ(wide.problem, Problem::None) << wide.reason.toStdString();
    EXPECT_EQ(wide.dictionary.value("t").toString(), QString::fromUtf8("S\xC3\xAD"));
}

TEST(StringsFile, RefusesBrokenTextWithTheReasonAndLine) {
    const std::pair<const char*, const char*> broken[] = {
        {"a = \"never closed;\n", "unterminated string (line 1)"},
        {"a = b;\n/* never closed", "unterminated comment (line 2)"},
        {"a = b\nc = d;", "expected ';' (line 2)"},
        {"{ a = b; } c = d;", "text after the root dictionary"},
        {"a = { b = c; ", "unexpected end of text"},
        {"a = ( b c );", "expected ',' or ')'"},
    };
    for (const auto& [text, why] : broken) {
        const auto t = parseText(text);
        EXPECT_EQ(t.problem, Problem::Malformed) << text;
        EXPECT_TRUE(t.reason.contains(why)) << text << " -> " << t.reason.toStdString();
        EXPECT_TRUE(t.dictionary.isEmpty()) << text;
    }
    EXPECT_EQ(kivo::strings::parse("a = \"\xC3\x28\";").problem, Problem::Malformed);
}

TEST(StringsFile, HostileSizeDepthAndFilesAreRefusedWithoutHarm) {
    // As deep as allowed, then one more; then far deeper than any stack would take.
    const auto nested = [](int levels) {
        QByteArray s;
        for (int i = 1; i < levels; ++i)
            s += "a = {";
        s += "z = y;";
        for (int i = 1; i < levels; ++i)
            s += "};";
        return s;
    };
    EXPECT_EQ(kivo::strings::parse(nested(kivo::strings::kMaxDepth)).problem, Problem::None);
    EXPECT_EQ(kivo::strings::parse(nested(kivo::strings::kMaxDepth + 1)).problem, Problem::TooDeep);
    EXPECT_EQ(kivo::strings::parse("a = " + QByteArray(1'000'000, '(')).problem, Problem::TooDeep);
    EXPECT_EQ(kivo::strings::parse(QByteArray("a = {").repeated(200'000)).problem,
              Problem::TooDeep);

    QByteArray huge = "a = \"";
    huge += QByteArray(kivo::strings::kMaxBytes, 'x');
    huge += "\";";
    EXPECT_EQ(kivo::strings::parse(huge).problem, Problem::TooLarge);

    const QString dir = kivo::test::makeTempFolder("strings");
    ASSERT_TRUE(kivo::test::writeFile(dir + "/big.strings", huge));
    EXPECT_EQ(kivo::strings::load(dir + "/big.strings").problem, Problem::TooLarge);
    EXPECT_EQ(kivo::strings::load(dir + "/none.strings").problem, Problem::Missing);
    // A FIFO would block a reader forever; it is refused without being opened.
    const QString fifo = dir + "/fifo.strings";
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_EQ(kivo::strings::load(fifo).problem, Problem::Unreadable);
    ASSERT_TRUE(kivo::test::writeFile(dir + "/ok.strings", "k = v;"));
    EXPECT_EQ(kivo::strings::load(dir + "/ok.strings").dictionary.value("k"), "v");
}
