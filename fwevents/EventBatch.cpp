#include "EventBatch.h"

#include "BytePaths.h"
#include "FWEvent.h"

namespace {
constexpr quint32 kItemFlags = ~quint32(0xff);
} // namespace

EventBatch::EventBatch(bool perFileEvents) : perFileEvents_(perFileEvents) {}

void EventBatch::add(const QByteArray &path, quint32 flags)
{
    if (!perFileEvents_ && (flags & kItemFlags) != 0) {
        add(bytepaths::parent(path), flags & ~kItemFlags);
        return;
    }
    const auto found = index_.constFind(path);
    if (found != index_.constEnd()) {
        entries_[*found].flags |= flags;
        return;
    }
    index_.insert(path, entries_.size());
    entries_.push_back({path, flags});
}

void EventBatch::refine(const QByteArray &path, quint32 flags)
{
    const auto found = index_.constFind(path);
    if (found != index_.constEnd() && perFileEvents_) {
        entries_[*found].flags |= flags;
    }
}

void EventBatch::move(const QByteArray &from, const QByteArray &to)
{
    const QByteArray below = from + '/';
    bool moved = false;
    for (Entry &entry : entries_) {
        if (entry.path.startsWith(below)) {
            entry.path = to + entry.path.mid(from.size());
            moved = true;
        }
    }
    if (!moved) {
        return;
    }
    // The index again, one entry per path, in the order paths first appeared.
    std::vector<Entry> entries = std::exchange(entries_, {});
    index_.clear();
    for (const Entry &entry : entries) {
        const auto found = index_.constFind(entry.path);
        if (found != index_.constEnd()) {
            entries_[*found].flags |= entry.flags;
        } else {
            index_.insert(entry.path, entries_.size());
            entries_.push_back(entry);
        }
    }
}

std::vector<EventBatch::Entry> EventBatch::take()
{
    index_.clear();
    return std::exchange(entries_, {});
}
