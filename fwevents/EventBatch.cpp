#include "EventBatch.h"

#include "FWEvent.h"

namespace {
constexpr quint32 kItemFlags = ~quint32(0xff);

QByteArray directoryOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash <= 0 ? QByteArray("/") : path.left(slash);
}
} // namespace

EventBatch::EventBatch(bool perFileEvents) : perFileEvents_(perFileEvents) {}

void EventBatch::add(const QByteArray &path, quint32 flags)
{
    if (!perFileEvents_ && (flags & kItemFlags) != 0) {
        add(directoryOf(path), flags & ~kItemFlags);
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

std::vector<EventBatch::Entry> EventBatch::take()
{
    index_.clear();
    return std::exchange(entries_, {});
}
