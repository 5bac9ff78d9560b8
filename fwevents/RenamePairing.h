#pragma once

#include "WatchTable.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <optional>

// Pairs the halves of renames within the trees by the kernel's cookie: the first half is kept
// until the second names the new path. The second half is queued right after the first, though
// a read may end between them; one that has not come by the end of the next read never will:
// the item left the tree.
class RenamePairing {
public:
    // The first half of a rename. A directory takes its subtree's watches along, as they were
    // when it left.
    struct Departure {
        QByteArray path;
        bool isDir;
        QList<WatchTable::Reference> watches;
    };

    void departed(quint32 cookie, Departure departure);
    // The first half of this second half, unless it was given up.
    std::optional<Departure> arrived(quint32 cookie);
    // Ends a read: gives up, and returns, the first halves kept since the read before it.
    QList<Departure> endRead();
    // Forgets every first half: the second halves were lost.
    void clear();

private:
    struct Pending {
        Departure departure;
        int read;
    };

    QHash<quint32, Pending> pending_;
    int read_ = 0;
};
