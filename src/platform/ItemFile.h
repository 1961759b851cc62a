#pragma once
// A file opened once, by its own name only: no symbolic link is followed and only regular
// files are taken, so what is checked, read and later moved is one and the same file.
#include <QMetaType>
#include <QString>
#include <cstdint>
#include <optional>
#include <sys/types.h>

namespace kivo {

// What tells one state of a file from another: its place on disk, its size and its last
// change. Equal identities mean nobody replaced or wrote the file in between.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t mtimeNs = 0;

    bool operator==(const FileIdentity&) const = default;
    std::int64_t mtimeMs() const { return mtimeNs / 1000000; }
    QString describe() const;
};

// The identity of the entry at path itself (a link is not followed); none when it is missing.
std::optional<FileIdentity> identityOfPath(const QString& path);
std::optional<FileIdentity> identityOfFd(int fd);

// Whether some process holds the file open for writing.
enum class WriterState {
    None,    // nobody: the kernel granted a read lease
    Writing, // a writer holds it open
    Unknown, // leases are not available here (not our file, network file system)
};
WriterState writerState(int fd);

class ItemFile {
public:
    enum class Failure { None, Missing, SymbolicLink, NotRegular, Unreadable };

    ItemFile() = default;
    ~ItemFile();
    ItemFile(ItemFile&& other) noexcept;
    ItemFile& operator=(ItemFile&& other) noexcept;
    ItemFile(const ItemFile&) = delete;
    ItemFile& operator=(const ItemFile&) = delete;

    // Opens path for reading without following a link; only a regular file opens.
    static ItemFile open(const QString& path);

    bool isOpen() const { return fFd >= 0; }
    int fd() const { return fFd; }
    Failure failure() const { return fFailure; }
    // Why it did not open, for a status line ("is a symbolic link", errno's text...).
    QString failureText() const { return fFailureText; }
    // As it was when opened.
    const FileIdentity& identity() const { return fIdentity; }
    // As it is now, through the descriptor; none when it cannot be read.
    std::optional<FileIdentity> currentIdentity() const;
    // Whether the name still leads to this very file, unchanged since it was opened.
    bool unchangedAt(const QString& path) const;

    // Reads exactly length bytes from offset; false on a short read (the file shrank).
    bool readAt(char* buffer, std::int64_t length, std::int64_t offset) const;

private:
    int fFd = -1;
    Failure fFailure = Failure::None;
    QString fFailureText;
    FileIdentity fIdentity;
};

} // namespace kivo

Q_DECLARE_METATYPE(kivo::FileIdentity)
