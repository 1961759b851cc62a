#include "platform/Journal.h"

#include "platform/Bundle.h"

#include <cstdint>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace kivo::journal {

namespace {

const char* const kJournalSocket = "/run/systemd/journal/socket";

// Empty when no copy is asked for. Read once: it is asked for on every console line.
const QByteArray& socketPath() {
    static const QByteArray path = [] {
        const QByteArray v = qgetenv("KIVO_LOG_TO_JOURNAL");
        if (v == "1")
            return QByteArray(kJournalSocket);
        return v.startsWith('/') ? v : QByteArray();
    }();
    return path;
}

// JOURNAL_STREAM is "<device>:<inode>" of the stream systemd connected standard error to; a
// program whose standard error has since been redirected inherits it all the same.
bool stderrIsJournal() {
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const qsizetype colon = stream.indexOf(':');
    if (colon <= 0)
        return false;
    struct stat st {};
    if (::fstat(STDERR_FILENO, &st) != 0)
        return false;
    bool okDev = false;
    bool okIno = false;
    const qulonglong dev = stream.left(colon).toULongLong(&okDev);
    const qulonglong ino = stream.mid(colon + 1).toULongLong(&okIno);
    return okDev && okIno && dev == qulonglong(st.st_dev) && ino == qulonglong(st.st_ino);
}

void appendField(QByteArray& out, const char* name, const QByteArray& value) {
    // The binary form: the value may hold line breaks.
    out += name;
    out += '\n';
    const uint64_t size = uint64_t(value.size());
    for (int i = 0; i < 8; ++i)
        out += char((size >> (8 * i)) & 0xff);
    out += value;
    out += '\n';
}

} // namespace

bool copying() {
    return !socketPath().isEmpty() && !stderrIsJournal();
}

void send(const QByteArray& line) {
    const QByteArray& path = socketPath();
    if (path.isEmpty())
        return;
    sockaddr_un address{};
    if (size_t(path.size()) >= sizeof(address.sun_path))
        return;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));

    QByteArray message;
    appendField(message, "SYSLOG_IDENTIFIER", bundle::displayName().toUtf8());
    appendField(message, "PRIORITY", "6");
    appendField(message, "MESSAGE", line);
    // A socket per line: console lines are few, and nothing is kept open across a fork.
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    // Nowhere to report a failure: the report would be a console line itself.
    [[maybe_unused]] const ssize_t n =
        ::sendto(fd, message.constData(), size_t(message.size()), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    ::close(fd);
}

} // namespace kivo::journal
