#include "log/Printing.h"
#include "log/MessageLog.h"
#include "support/TestSupport.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace kivo;
using kivo::test::FdCapture;
using kivo::test::readFile;

namespace {
QString freshLog() {
    const QString path = kivo::test::makeTempFolder(QStringLiteral("print")) + "/TestLog.txt";
    MessageLog::InitLogAtPath(path);
    return path;
}
} // namespace

TEST(Printing, MyNSLogAddsOneNewline) {
    const QString path = freshLog();
    FdCapture err(2);
    myNSLog(QStringLiteral("Scanned %1 items in %2"), 3, QStringLiteral("/in%1"));
    myNSLog(QStringLiteral("Already ended\n"));
    EXPECT_EQ(err.text(), QByteArray("Scanned 3 items in /in%1\nAlready ended\n"));

    const QRegularExpression expected(
        R"(^\[[^\]]{24}\] ==> Scanned 3 items in /in%1\n\n\[[^\]]{24}\] ==> Already ended\n\n$)");
    const QString file = QString::fromUtf8(readFile(path));
    EXPECT_TRUE(expected.match(file).hasMatch()) << file.toStdString();
}

TEST(Printing, MyPrintfPrintsLiterallyAndLogsOnlyWhenAsked) {
    const QString path = freshLog();
    {
        FdCapture out(1);
        myPrintf("100%s%n done");
        myPrintfDebug(" debug");
        EXPECT_EQ(out.text(), QByteArray("100%s%n done debug"));
    }
    EXPECT_TRUE(readFile(path).isEmpty());

    gLogAllMessages = true;
    gDoShowDebug = false;
    {
        FdCapture out(1);
        myPrintf("all\n");
        myPrintfDebug("quiet");
        EXPECT_EQ(out.text(), QByteArray("all\n"));
    }
    gLogAllMessages = false;
    gDoShowDebug = true;

    const QRegularExpression expected(
        QString::fromUtf8(R"(^\[[^\]]{24}\] ==> •• all\n\n\[[^\]]{24}\] ==> •• quiet\n$)"));
    const QString file = QString::fromUtf8(readFile(path));
    EXPECT_TRUE(expected.match(file).hasMatch()) << file.toStdString();
}
