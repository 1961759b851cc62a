// Run as a service, the program's console lines reach the journal as well as its daily log.
#include "ProgramRun.h"

#include <QFile>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace kivo::test;

namespace {

// A stand-in for the journal's socket: the MESSAGE fields of the native-protocol datagrams.
class FakeJournal {
public:
    explicit FakeJournal(const QString& path) {
        fFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        const QByteArray p = QFile::encodeName(path);
        if (fFd < 0 || size_t(p.size()) >= sizeof(a.sun_path))
            return;
        memcpy(a.sun_path, p.constData(), size_t(p.size()));
        fBound = ::bind(fFd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    }
    ~FakeJournal() {
        if (fFd >= 0)
            ::close(fFd);
    }
    bool bound() const { return fBound; }
    // Collects what has arrived; a field whose value runs on is cut there.
    void receive() {
        char buf[65536];
        for (;;) {
            const ssize_t n = ::recv(fFd, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0)
                return;
            const QByteArray d(buf, n);
            identifiers += d.contains("SYSLOG_IDENTIFIER\n") ? 1 : 0;
            const qsizetype at = d.indexOf("MESSAGE\n");
            if (at < 0 || at + 16 > d.size())
                continue;
            quint64 size = 0;
            for (int i = 7; i >= 0; --i)
                size = (size << 8) | quint8(d[at + 8 + i]);
            messages << QString::fromUtf8(d.mid(at + 16, qsizetype(size)));
        }
    }
    QStringList messages;
    int identifiers = 0;

private:
    int fFd = -1;
    bool fBound = false;
};

using JournalCopy = ProgramWithService;

TEST_F(JournalCopy, ConsoleLinesAreCopiedOnceStandardErrorNoLongerGoesThere) {
    const QString socket = run.root() + "/journal";
    FakeJournal journal(socket);
    ASSERT_TRUE(journal.bound()) << socket.toStdString();
    // Standard error starts out as the journal's stream, as systemd connects it.
    const QString stream = run.root() + "/console.txt";
    ASSERT_TRUE(writeFile(stream, {}));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(stream).constData(), &st), 0);
    run.setEnvironment("JOURNAL_STREAM", QStringLiteral("%1:%2").arg(st.st_dev).arg(st.st_ino));
    run.setEnvironment("KIVO_LOG_TO_JOURNAL", socket);
    // A settings file that is refused is reported before the daily log exists.
    ASSERT_TRUE(writeFile(run.root() + "/home/.config/com.quandril.KivoUploader.plist", "junk"));

    ASSERT_TRUE(run.startWith(service.url(), {}, {}));
    const auto copied = [&](const QString& text) {
        journal.receive();
        return !journal.messages.filter(text).isEmpty();
    };
    // The header is written once the daily log has standard error.
    EXPECT_TRUE(waitUntil([&] { return copied("KivoUploader => "); }, 30000))
        << journal.messages.join('\n').toStdString();
    EXPECT_TRUE(run.stop());
    journal.receive();
    EXPECT_EQ(journal.identifiers, journal.messages.size());
    const QByteArray log = run.console();
    EXPECT_TRUE(log.contains("Termination signal received; quitting"));
    EXPECT_TRUE(copied("Termination signal received; quitting"));
    // What the journal's stream had already is not sent again.
    const QByteArray early = readFile(stream);
    ASSERT_FALSE(early.isEmpty());
    for (const QByteArray& line : early.split('\n')) {
        const qsizetype body = line.indexOf("] ");
        if (body > 0) {
            EXPECT_FALSE(journal.messages.contains(QString::fromUtf8(line.mid(body + 2))))
                << line.toStdString();
        }
    }
}

} // namespace
