#pragma once

#include <QList>
#include <QtGlobal>

namespace zek {

// A set of unsigned integers kept as ascending, disjoint ranges, so that a
// span such as the 100 status codes 200 to 299 is one entry.
class IndexSet {
public:
    // A run of length consecutive indexes from location on.
    struct Range {
        quint64 location = 0;
        quint64 length = 0;
        bool operator==(const Range &other) const = default;
    };

    IndexSet() = default;
    // The indexes of one range (none when length is 0).
    static IndexSet indexSetWithIndexesInRange(Range range);

    // Adds every index of range; touching or overlapping ranges merge.
    void addIndexesInRange(Range range);
    void addIndex(quint64 index) { addIndexesInRange({index, 1}); }

    bool containsIndex(quint64 index) const;
    quint64 count() const;
    // The ranges in ascending order; none touches the next.
    const QList<Range> &ranges() const { return ranges_; }

    bool operator==(const IndexSet &other) const = default;

private:
    QList<Range> ranges_;
};

} // namespace zek
