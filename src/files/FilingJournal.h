#pragma once
// Items the service has judged but that are not yet filed away. An entry is written before an
// item is moved and removed once it is filed, so an accepted photo is never sent again: not when
// the mirror folder cannot take it, and not after the program was killed in the middle of a
// move. The file is replaced whole (write, sync, rename), so a crash leaves the old or the new.
#include "platform/ItemFile.h"

#include <QString>
#include <mutex>
#include <optional>
#include <vector>

namespace kivo {

struct PendingFiling {
    enum class Destination { Mirror, Problem };

    QString root; // the source folder
    QString item; // path relative to it
    Destination destination = Destination::Mirror;
    QString destinationRoot;
    QString stamp; // the problem folder's name stamp, empty when none
    FileIdentity identity;
    qint64 whenMs = 0;
    QString reply; // what the service answered, for whoever reads the file
};

class FilingJournal {
public:
    explicit FilingJournal(QString path);

    // Where the program keeps it: the private state folder.
    static QString defaultPath();

    // Reads the file; a missing one is an empty journal. A damaged one is moved aside (its name
    // gets ".damaged") with a console line, and the journal starts empty.
    void load();
    // Adds or replaces the entry of (root, item) and writes the file; false when it could not be
    // written (the entry is still kept in memory for this run).
    bool add(const PendingFiling& entry);
    bool remove(const QString& root, const QString& item);
    std::optional<PendingFiling> find(const QString& root, const QString& item) const;
    std::vector<PendingFiling> entries() const;
    QString path() const { return fPath; }

private:
    bool save(); // under fMutex

    mutable std::mutex fMutex;
    QString fPath;
    std::vector<PendingFiling> fEntries;
};

} // namespace kivo
