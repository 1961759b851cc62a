// The whole program checking for hi-res orders: the check at launch and the re-armed one.
#include "ProgramRun.h"
#include "fixtures/Fixtures.h"

#include <QDir>
#include <gtest/gtest.h>

using namespace kivo::test;

namespace {

using Orders = ProgramWithService;

QString stateOf(const RefService& service, int index) {
    return service.orders().value(index).toMap().value("state").toString();
}

TEST_F(Orders, OriginalsOfOrdersAreUploadedAtLaunchAndAtTheNextCheck) {
    const QString first = run.root() + "/originals/Event 12/IMG_0042.jpg";
    const QString second = run.root() + "/originals/Event 12/IMG_0043.png";
    ASSERT_TRUE(kivo::fixtures::writeJpeg(first, {}));
    ASSERT_TRUE(kivo::fixtures::writePng(second, {}));
    ASSERT_TRUE(service.addOrder({{"localfilelocation", QString(first).replace(" ", "%20")},
                                  {"orderid", "O-42"},
                                  {"imageid", "I-42"},
                                  {"pictureid", "P-42"}}));

    // Minutes of 0: the next check comes 10 seconds after the first one ends.
    ASSERT_TRUE(run.startWith(
        service.url(), {"-prefDoCheckOrders", "YES", "-prefMinutesForCheckOrders", "0"}, {}));
    ASSERT_TRUE(waitUntil([&] { return stateOf(service, 0) == "fulfilled"; }, 30000))
        << run.console().right(3000).toStdString();
    ASSERT_TRUE(service.addOrder({{"localfilelocation", second}, {"imageid", "I-43"}}));
    EXPECT_TRUE(waitUntil([&] { return stateOf(service, 1) == "fulfilled"; }, 40000))
        << run.console().right(3000).toStdString();

    // An order is marked fulfilled as its upload is being stored.
    EXPECT_TRUE(waitUntil([&] { return service.receivedDirs().size() == 2; }));
    EXPECT_TRUE(run.stop()) << "quits cleanly";
}

} // namespace
