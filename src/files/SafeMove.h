#pragma once
// Moving one file so that it exists whole in at least one place at every instant. Within a
// file system a move is one rename; across file systems the file is copied to a hidden
// temporary name beside the destination, synced, renamed into place, and only then is the
// source removed. A failure removes the partial copy and leaves the source as it was.
#include <QString>
#include <functional>

namespace kivo::safemove {

// Points of a copying move at which a test can make the move fail.
enum class Stage {
    CopyChunk,            // after each block written to the temporary copy
    BeforePlacing,        // the copy is complete and synced, not yet renamed into place
    BeforeRemovingSource, // the copy is in place; the source still exists
};

struct Options {
    // Replace a file at the destination (atomically). Without it a taken name fails the move,
    // even when another process takes the name at the last moment.
    bool overwrite = true;
    // Take the copying path even within one file system.
    bool forceCopy = false;
    // Asked at each stage of a copying move; false makes the move fail there.
    std::function<bool(Stage)> proceed;
};

struct Result {
    bool ok = false;
    int error = 0;     // errno of the failed step
    QString operation; // the failed step, for the console
};

// Moves a file, symbolic link or other non-directory entry from one path to another. The
// destination's folder must exist. Directories are refused.
Result moveEntry(const QString& from, const QString& to, const Options& options = {});

// A rename that never replaces an existing entry; fails with EEXIST when the name is taken.
int renameNoReplace(const char* from, const char* to);

// Writes all of data, going on after interruptions; false on a write error (errno set).
bool writeAll(int fd, const char* data, size_t size);

// Hidden copies under way begin with this; nothing else of ours does.
inline constexpr char kTemporaryPrefix[] = ".kivo-move-";

// At quit: removes the copies that moves of this process are writing right now and refuses to
// start new ones for the rest of the process, so the moves are abandoned with their sources
// intact and nothing is left half-written. Returns how many copies were removed.
int stopCopying();

// Removes the hidden copies that an interrupted process left anywhere below folder (links are
// not followed). Returns how many were removed.
int sweepUnfinishedCopies(const QString& folder);

// Whether two paths hold regular files of the same size, modification time and bytes: a copy
// that an interrupted move had already put in place.
bool sameFile(const QString& a, const QString& b);

} // namespace kivo::safemove
