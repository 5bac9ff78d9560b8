#include "EventBatch.h"

#include "FWEvent.h"

namespace {
constexpr quint32 kItemFlags = ~quint32(0xff);

QString directoryOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}
} // namespace

EventBatch::EventBatch(bool perFileEvents) : perFileEvents_(perFileEvents) {}

void EventBatch::add(const QString &path, quint32 flags)
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

void EventBatch::refine(const QString &path, quint32 flags)
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
