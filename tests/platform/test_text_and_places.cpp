#include "platform/Beep.h"
#include "platform/Bundle.h"
#include "platform/MacRoman.h"
#include "support/TestSupport.h"

#include <QFile>
#include <gtest/gtest.h>

using namespace kivo;

namespace {

TEST(MacRoman, ConvertsBothWaysAndSubstitutesWhatItCannotEncode) {
    EXPECT_EQ(fromMacRoman(QByteArray("\xA5\xA5 ok", 5)), QString::fromUtf8("\u2022\u2022 ok"));
    EXPECT_EQ(fromMacRoman(QByteArray("\x8E", 1)), QString::fromUtf8("\u00E9")); // é
    EXPECT_EQ(toMacRoman(QString::fromUtf8("caf\u00E9 \u2022")), QByteArray("caf\x8E \xA5", 6));
    // A character outside the table must not swallow the rest of the text.
    EXPECT_EQ(toMacRoman(QString::fromUtf8("a\u4E2Db")), QByteArray("a?b"));
}

TEST(Bundle, LocationsFollowTheXdgVariablesAndResourcesAreCompiledIn) {
    EXPECT_TRUE(bundle::configHome().startsWith(test::scratchRoot()));
    EXPECT_TRUE(bundle::stateHome().startsWith(test::scratchRoot()));
    EXPECT_EQ(bundle::expandTilde(QStringLiteral("~/Pictures")),
              bundle::homeFolder() + "/Pictures");
    EXPECT_EQ(bundle::expandTilde(QStringLiteral("/a/~b")), QStringLiteral("/a/~b"));
    EXPECT_TRUE(
        bundle::pathForResource(QStringLiteral("NoSuchThing"), QStringLiteral("plist")).isEmpty());
}

TEST(Beep, EveryBeepIsCountedAndReachesTheInstalledSound) {
    int sounds = 0;
    setBeepHandler([&] { ++sounds; });
    const int before = beepCount();
    systemBeep();
    systemBeep();
    EXPECT_EQ(beepCount() - before, 2);
    EXPECT_EQ(sounds, 2);
    setBeepHandler(nullptr);
    systemBeep();
    EXPECT_EQ(sounds, 2);
}

} // namespace
