// Main of the test programs that need Qt Widgets (a QApplication), offscreen unless told otherwise.
#include "support/TestSupport.h"

#include <QApplication>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    kivo::test::isolateEnvironment();
    // The smallest screen the windows are made for, so windows and alerts size as they would on
    // it (the offscreen default is 800x600).
    const QString screen = kivo::test::scratchRoot() + "/offscreen-screen.json";
    if (qgetenv("QT_QPA_PLATFORM") == "offscreen" &&
        kivo::test::writeFile(screen, R"({"screens": [{"name": "small", "x": 0, "y": 0,
                                          "width": 1366, "height": 768, "logicalDpi": 96}]})"))
        qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + screen.toUtf8());
    QApplication app(argc, argv);
    return kivo::test::runAllTests(argc, argv);
}
