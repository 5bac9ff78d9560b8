#pragma once

#include <QByteArray>
#include <QHash>
#include <QtGlobal>
#include <vector>

// The events held back during one latency window: one entry per path, whose flags are the union
// of everything that happened to it, in the order in which each path first appeared.
class EventBatch {
public:
    struct Entry {
        QByteArray path;
        quint32 flags;
    };

    // Without per-file events an item's change is reported as a change of its directory, with
    // only the stream-level flags.
    explicit EventBatch(bool perFileEvents);

    void add(const QByteArray &path, quint32 flags);
    // Adds flags to an entry still held; does nothing once it has been taken.
    void refine(const QByteArray &path, quint32 flags);
    // A directory moved within the tree: the entries held below `from` now name their items
    // below `to`, where they are, merged with any already held there.
    void move(const QByteArray &from, const QByteArray &to);

    bool isEmpty() const { return entries_.empty(); }
    std::vector<Entry> take();

private:
    bool perFileEvents_;
    std::vector<Entry> entries_;
    QHash<QByteArray, size_t> index_;
};
