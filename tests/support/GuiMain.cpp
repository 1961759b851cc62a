// Main of the test programs that need Qt Widgets (a QApplication), offscreen unless told otherwise.
#include "support/TestSupport.h"

#include <QApplication>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    kivo::test::isolateEnvironment();
    QApplication app(argc, argv);
    return kivo::test::runAllTests(argc, argv);
}
