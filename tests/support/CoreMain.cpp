#include "support/TestSupport.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    kivo::test::isolateEnvironment();
    QCoreApplication app(argc, argv);
    return kivo::test::runAllTests(argc, argv);
}
