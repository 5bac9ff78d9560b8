#include "IndexSet.h"

#include <algorithm>
#include <limits>

namespace zek {

namespace {

// One past the range's last index, clamped so that a range reaching the top
// of the integers does not wrap around.
quint64 endOf(const IndexSet::Range &range)
{
    const quint64 room = std::numeric_limits<quint64>::max() - range.location;
    return range.location + std::min(range.length, room);
}

} // namespace

IndexSet IndexSet::indexSetWithIndexesInRange(Range range)
{
    IndexSet set;
    set.addIndexesInRange(range);
    return set;
}

void IndexSet::addIndexesInRange(Range range)
{
    quint64 start = range.location;
    quint64 end = endOf(range);
    if (end == start) {
        return;
    }
    // The first range that ends at or after the new start may touch it.
    auto first = std::find_if(ranges_.begin(), ranges_.end(),
                              [start](const Range &r) { return endOf(r) >= start; });
    auto last = first;
    while (last != ranges_.end() && last->location <= end) {
        start = std::min(start, last->location);
        end = std::max(end, endOf(*last));
        ++last;
    }
    const auto position = ranges_.erase(first, last);
    ranges_.insert(position, Range{start, end - start});
}

bool IndexSet::containsIndex(quint64 index) const
{
    const auto range = std::find_if(ranges_.cbegin(), ranges_.cend(),
                                    [index](const Range &r) { return endOf(r) > index; });
    return range != ranges_.cend() && range->location <= index;
}

quint64 IndexSet::count() const
{
    quint64 total = 0;
    for (const Range &range : ranges_) {
        total += range.length;
    }
    return total;
}

} // namespace zek
