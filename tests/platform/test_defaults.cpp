#include "BinaryPlistBuilder.h"
#include "platform/Defaults.h"
#include "platform/PropertyList.h"
#include "support/TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

using namespace kivo;

namespace {

QString freshPath() {
    return test::makeTempFolder("defaults") + "/store.plist";
}

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

} // namespace

TEST(DefaultsTypedReads, EveryValueKind) {
    struct Case {
        const char* name;
        QVariant value;
        std::optional<QString> text;
        bool flag;
        qint64 integer;
        double real;
    };
    constexpr qint64 kMax = std::numeric_limits<qint64>::max();
    const Case cases[] = {
        {"absent", QVariant(), std::nullopt, false, 0, 0.0},
        {"string", QString("hello"), QString("hello"), false, 0, 0.0},
        {"integer", qint64(42), QString("42"), true, 42, 42.0},
        {"zero", qint64(0), QString("0"), false, 0, 0.0},
        {"int", int(-7), QString("-7"), true, -7, -7.0},
        {"whole real", 3.0, QString("3"), true, 3, 3.0},
        {"real", 2.75, QString("2.75"), true, 2, 2.75},
        {"negative real", -2.75, QString("-2.75"), true, -2, -2.75},
        {"small real", 0.1, QString("0.1"), true, 0, 0.1},
        {"huge real", 1e300, QString("1e+300"), true, kMax, 1e300},
        {"true", true, QString("1"), true, 1, 1.0},
        {"false", false, QString("0"), false, 0, 0.0},
        {"data", QByteArray("12"), std::nullopt, false, 0, 0.0},
        {"array", QVariantList{1}, std::nullopt, false, 0, 0.0},
        {"dictionary", QVariantMap{{"a", 1}}, std::nullopt, false, 0, 0.0},
        {"date", QDateTime::currentDateTimeUtc(), std::nullopt, false, 0, 0.0},
    };
    Defaults store(freshPath(), -1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        store.setObject("k", c.value);
        EXPECT_EQ(store.objectForKey("k"), c.value);
        EXPECT_EQ(store.stringForKey("k"), c.text);
        EXPECT_EQ(store.boolForKey("k"), c.flag);
        EXPECT_EQ(store.integerForKey("k"), c.integer);
        EXPECT_DOUBLE_EQ(store.doubleForKey("k"), c.real);
    }
}

TEST(DefaultsTypedReads, StringBooleans) {
    const std::pair<const char*, bool> cases[] = {
        {"Yes", true}, {"YES", true},  {"no", false},    {"NO", false},      {"1", true},
        {"T", true},   {"true", true}, {" y", true},     {"\t\nTrue", true}, {"0", false},
        {"", false},   {"   ", false}, {"false", false}, {"9", true},        {"12abc", true},
        {"-1", false}, {"x", false},   {"on", false},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(Defaults::boolFromValue(QString(text)), expected) << '"' << text << '"';
}

TEST(DefaultsTypedReads, NumericStrings) {
    struct Case {
        const char* text;
        qint64 integer;
        double real;
    };
    const Case cases[] = {
        {"42", 42, 42.0},
        {"  42", 42, 42.0},
        {"\t8\n", 8, 8.0},
        {"12abc", 12, 12.0},
        {"-7", -7, -7.0},
        {"+5", 5, 5.0},
        {"3.9", 3, 3.9},
        {"-0.5e1x", 0, -5.0},
        {"1e3", 1, 1000.0},
        {".5", 0, 0.5},
        {"2.", 2, 2.0},
        {"abc", 0, 0.0},
        {"", 0, 0.0},
        {"-", 0, 0.0},
        {"0x1A", 0, 0.0},
        {"1e", 1, 1.0},
        {"99999999999999999999", std::numeric_limits<qint64>::max(), 1e20},
        {"-99999999999999999999", std::numeric_limits<qint64>::min(), -1e20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Defaults::integerFromValue(QString(c.text)), c.integer);
        EXPECT_DOUBLE_EQ(Defaults::doubleFromValue(QString(c.text)), c.real);
    }
}

TEST(DefaultsLayers, ArgumentsOverUserOverRegistered) {
    Defaults store(freshPath(), -1);
    store.registerDefaults({{"a", "registered"}, {"b", "registered"}, {"c", "registered"}});
    store.registerDefaults({{"d", 4}}); // registering again adds, it does not replace
    store.setString("b", "user");
    store.setString("c", "user");
    store.setArgumentDomain({{"c", "argument"}});

    EXPECT_EQ(store.stringForKey("a"), QString("registered"));
    EXPECT_EQ(store.stringForKey("b"), QString("user"));
    EXPECT_EQ(store.stringForKey("c"), QString("argument"));
    EXPECT_EQ(store.integerForKey("d"), 4);

    // A write lands in the user layer: it cannot displace the argument for this run.
    store.setString("c", "edited");
    EXPECT_EQ(store.stringForKey("c"), QString("argument"));
    EXPECT_EQ(store.userValues().value("c").toString(), QString("edited"));

    store.removeObject("b");
    EXPECT_EQ(store.stringForKey("b"), QString("registered"));
    EXPECT_FALSE(store.objectForKey("nothing").isValid());
}

TEST(DefaultsLayers, ArgumentPairsAndTheirValues) {
    Defaults store(freshPath(), -1);
    const QStringList rest = store.setArgumentDomainFromArguments(
        {"/opt/KivoUploader", "-prefLocalSourceUploadFolder", "/data/in", "-prefAutoSynchronize",
         "YES", "/data/opened", "-prefSecondsBetweenScans", "30", "-prefUploadTimeOut", "2.5",
         "-userLoginPassword", "007", "-prefList",
         "<plist version=\"1.0\"><array><string>a</string><integer>2</integer></array></plist>",
         "-5", "--weird", "-prefTrailing"});
    EXPECT_EQ(rest,
              (QStringList{"/opt/KivoUploader", "/data/opened", "-5", "--weird", "-prefTrailing"}));

    const QVariantMap args = store.argumentDomain();
    EXPECT_EQ(args.size(), 6);
    EXPECT_EQ(args.value("prefLocalSourceUploadFolder"), QVariant(QString("/data/in")));
    EXPECT_EQ(args.value("prefAutoSynchronize"), QVariant(QString("YES")));
    EXPECT_TRUE(store.boolForKey("prefAutoSynchronize"));
    EXPECT_EQ(args.value("prefSecondsBetweenScans"), QVariant(qint64(30)));
    EXPECT_EQ(args.value("prefUploadTimeOut"), QVariant(2.5));
    // Leading zeros would be lost as a number; the text stays as typed.
    EXPECT_EQ(store.stringForKey("userLoginPassword"), QString("007"));
    EXPECT_EQ(args.value("prefList").toList(), (QVariantList{QString("a"), qint64(2)}));

    EXPECT_EQ(Defaults::valueFromArgumentText("NO"), QVariant(QString("NO")));
    EXPECT_FALSE(Defaults::boolFromValue(Defaults::valueFromArgumentText("no")));
    EXPECT_EQ(Defaults::valueFromArgumentText("-3"), QVariant(qint64(-3)));
    EXPECT_EQ(Defaults::valueFromArgumentText("12abc"), QVariant(QString("12abc")));
    EXPECT_EQ(Defaults::valueFromArgumentText("<plist><broken"),
              QVariant(QString("<plist><broken")));
    EXPECT_EQ(Defaults::integerFromValue(Defaults::valueFromArgumentText("1e3")), 1);
    EXPECT_DOUBLE_EQ(Defaults::doubleFromValue(Defaults::valueFromArgumentText("1e3")), 1000.0);
}

TEST(DefaultsPersistence, UserValuesSurviveARestartArgumentsNever) {
    const QString path = freshPath();
    {
        Defaults store(path, -1);
        EXPECT_EQ(store.loadReport().outcome, Defaults::LoadReport::Outcome::Missing);
        EXPECT_FALSE(store.loadReport().isProblem());
        store.registerDefaults({{"registeredOnly", "r"}});
        store.setArgumentDomainFromArguments({"-argOnly", "from-arguments"});
        store.setString("name", QString::fromUtf8("Zoë"));
        store.setBool("flag", true);
        store.setDouble("seconds", 2.5);
        store.setInteger("days", 30);
        store.setString("gone", "x");
        store.removeObject("gone");
        ASSERT_TRUE(store.synchronize());
        store.setString("late", "written at destruction");
    }
    const QByteArray file = test::readFile(path);
    EXPECT_FALSE(file.contains("argOnly"));
    EXPECT_FALSE(file.contains("from-arguments"));
    EXPECT_FALSE(file.contains("registeredOnly"));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    Defaults again(path, -1);
    EXPECT_EQ(again.loadReport().outcome, Defaults::LoadReport::Outcome::Loaded);
    EXPECT_EQ(again.stringForKey("name"), QString::fromUtf8("Zoë"));
    EXPECT_TRUE(again.boolForKey("flag"));
    EXPECT_DOUBLE_EQ(again.doubleForKey("seconds"), 2.5);
    EXPECT_EQ(again.integerForKey("days"), 30);
    EXPECT_EQ(again.stringForKey("late"), QString("written at destruction"));
    EXPECT_FALSE(again.objectForKey("gone").isValid());
    EXPECT_FALSE(again.objectForKey("argOnly").isValid());
}

TEST(DefaultsPersistence, FlushesShortlyAfterAChange) {
    const QString path = freshPath();
    Defaults store(path, 20);
    store.setString("k", "first");
    store.setString("k", "second");
    EXPECT_TRUE(test::waitUntil([&] {
        return plist::readDictionaryFile(path).value_or(QVariantMap()).value("k") ==
               QVariant(QString("second"));
    }));
}

TEST(DefaultsPersistence, RefusedFileIsMovedAsideNotOverwritten) {
    using Outcome = Defaults::LoadReport::Outcome;
    struct Case {
        const char* name;
        std::function<QByteArray(int round)> bytes; // different in each round
        Outcome outcome;
        const char* says;
    };
    const Case cases[] = {
        {"garbage",
         [](int round) {
             return QByteArray("\x01\x02 this is not a property list \xff") +
                    QByteArray(round, ' ');
         },
         Outcome::Corrupt, "not a property list"},
        {"array root",
         [](int round) {
             return "<plist><array><string>a</string></array></plist>" + QByteArray(round, ' ');
         },
         Outcome::Corrupt, "no dictionary"},
        {"shared-reference bomb",
         [](int round) { return test::bplist::sharedReferenceBomb(24, 14 - round); },
         Outcome::TooLarge, "1000000 values"},
        {"too deep",
         [](int round) {
             return "<plist><dict><key>k</key>" + QByteArray("<array>").repeated(70 + round) +
                    QByteArray("</array>").repeated(70 + round) + "</dict></plist>";
         },
         Outcome::TooLarge, "64 levels"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = freshPath();
        const QString folder = QFileInfo(path).absolutePath();
        QStringList asides;
        // Twice within the same second: the second one must not replace the first.
        for (int round = 0; round < 2; ++round) {
            const QByteArray content = c.bytes(round);
            ASSERT_TRUE(test::writeFile(path, content));
            test::FdCapture err;
            Defaults store(path, -1);
            const Defaults::LoadReport& report = store.loadReport();
            EXPECT_EQ(report.outcome, c.outcome);
            EXPECT_TRUE(report.saves);
            EXPECT_EQ(test::readFile(report.movedTo), content);
            EXPECT_TRUE(report.text.contains(path) && report.text.contains(report.movedTo) &&
                        report.text.contains(c.says))
                << report.text.toStdString();
            EXPECT_TRUE(err.text().contains(report.text.toUtf8())) << err.text().constData();
            store.registerDefaults({{"k", "registered"}});
            EXPECT_TRUE(store.userValues().isEmpty());
            EXPECT_EQ(store.stringForKey("k"), QString("registered"));
            EXPECT_FALSE(QFileInfo::exists(path));

            store.setString("k", "user");
            ASSERT_TRUE(store.synchronize());
            EXPECT_EQ(plist::readDictionaryFile(path), (QVariantMap{{"k", "user"}}));
            QFile::remove(path);
        }
        asides = entries(folder);
        ASSERT_EQ(asides.size(), 2) << asides.join(' ').toStdString();
        for (const QString& a : asides)
            EXPECT_TRUE(a.startsWith("store.plist.refused-")) << a.toStdString();
    }
}

// FIFOs and unreadable files are covered by the whole-program settings-file tests.
TEST(DefaultsPersistence, AFolderAtThePathIsLeftAlone) {
    const QString folder = freshPath();
    ASSERT_TRUE(QDir().mkpath(folder + "/inside"));
    {
        Defaults store(folder, -1);
        EXPECT_EQ(store.loadReport().outcome, Defaults::LoadReport::Outcome::NotRegular);
        store.setString("k", "v");
        EXPECT_FALSE(store.synchronize());
    }
    EXPECT_TRUE(QFileInfo(folder + "/inside").isDir());
}

TEST(DefaultsPersistence, FailedSynchronizeLeavesTheOldFileIntact) {
    const QString path = freshPath();
    const QString folder = QFileInfo(path).absolutePath();
    Defaults store(path, -1);
    store.setString("k", "old");
    ASSERT_TRUE(store.synchronize());
    const QByteArray before = test::readFile(path);

    // A file-size limit makes the write fail part-way, even for root, like a full disk.
    store.setString("k", QString(256 * 1024, QChar('x')));
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    bool ok = true;
    QByteArray log;
    {
        test::FdCapture err;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        ok = store.synchronize();
        setrlimit(RLIMIT_FSIZE, &saved);
        log = err.text();
    }
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(ok);
    EXPECT_EQ(test::readFile(path), before);
    EXPECT_TRUE(log.contains(path.toUtf8())) << log.constData();
    EXPECT_EQ(entries(folder), QStringList{"store.plist"}); // no temporary left behind

    ASSERT_TRUE(store.synchronize());
    EXPECT_EQ(plist::readDictionaryFile(path).value_or(QVariantMap()).value("k").toString().size(),
              256 * 1024);
}

TEST(DefaultsPersistence, SettingsTooLargeToReadBackAreNotSaved) {
    // Half a million values sharing a few objects: a small binary file, over 16 MiB as XML.
    const QString path = freshPath();
    const QByteArray compact = test::bplist::sharedReferenceBomb(5, 14, "fourteen chars");
    ASSERT_TRUE(test::writeFile(path, compact));
    Defaults store(path, -1);
    ASSERT_EQ(store.loadReport().outcome, Defaults::LoadReport::Outcome::Loaded);
    store.setString("k", "changed");
    test::FdCapture err;
    EXPECT_FALSE(store.synchronize());
    EXPECT_EQ(test::readFile(path), compact);
    EXPECT_TRUE(err.text().contains("16 MiB")) << err.text().constData();
}

TEST(DefaultsObservers, CalledAfterEachWriteAndMayUseTheStore) {
    Defaults store(freshPath(), -1);
    QStringList seen;
    std::thread::id caller;
    const int id = store.addObserver("watched", [&](const QString& key) {
        caller = std::this_thread::get_id();
        seen.append(key + "=" + store.stringForKey(key).value_or("-"));
        store.setInteger("count", store.integerForKey("count") + 1);
    });
    store.setString("watched", "1");
    store.setString("other", "x");
    store.setString("watched", "2");
    store.removeObject("watched");
    EXPECT_EQ(seen, (QStringList{"watched=1", "watched=2", "watched=-"}));
    EXPECT_EQ(store.integerForKey("count"), 3);

    std::thread writer([&] { store.setString("watched", "from a thread"); });
    const std::thread::id writerId = writer.get_id();
    writer.join();
    EXPECT_EQ(caller, writerId);
    EXPECT_EQ(seen.size(), 4);

    store.removeObserver(id);
    store.setString("watched", "unobserved");
    EXPECT_EQ(seen.size(), 4);
}

TEST(DefaultsConcurrency, ReadersOnlySeeWholeWrittenValues) {
    const QString path = freshPath();
    const QStringList keys{"k0", "k1", "k2"};
    constexpr int kWriters = 3;
    QList<QVariant> allowed;
    for (int w = 0; w < kWriters; ++w) {
        allowed.append(QString(1000 + w * 37, QChar('a' + w)));
        allowed.append(QVariantMap{{"writer", w}, {"text", QString(50, QChar('A' + w))}});
        allowed.append(qint64(w * 1000003));
    }
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::atomic<long> reads{0};
    {
        Defaults store(path, 2);
        std::atomic<int> observed{0};
        store.addObserver("k1", [&](const QString& key) {
            if (store.objectForKey(key).isValid())
                observed.fetch_add(1);
        });
        std::vector<std::thread> threads;
        for (int w = 0; w < kWriters; ++w) {
            threads.emplace_back([&, w] {
                for (int n = 0; !stop.load(); ++n)
                    store.setObject(keys[n % keys.size()], allowed[w * 3 + n % 3]);
            });
        }
        for (int r = 0; r < 3; ++r) {
            threads.emplace_back([&] {
                for (int n = 0; !stop.load(); ++n) {
                    const QVariant v = store.objectForKey(keys[n % keys.size()]);
                    if (v.isValid() && !allowed.contains(v))
                        torn.fetch_add(1);
                    (void)store.stringForKey(keys[n % keys.size()]);
                    reads.fetch_add(1);
                }
            });
        }
        threads.emplace_back([&] {
            while (!stop.load()) {
                store.synchronize();
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        stop = true;
        for (std::thread& t : threads)
            t.join();
        EXPECT_GT(observed.load(), 0);
    }
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);

    // The file written at the end holds whole values too.
    const std::optional<QVariantMap> saved = plist::readDictionaryFile(path);
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->size(), keys.size());
    for (auto it = saved->cbegin(); it != saved->cend(); ++it)
        EXPECT_TRUE(allowed.contains(it.value())) << it.key().toStdString();
}
