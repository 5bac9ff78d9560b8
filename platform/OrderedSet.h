#pragma once

#include <QMetaType>
#include <QVariantList>
#include <initializer_list>

namespace zek {

// A set of values that remembers the order in which they were first added.
// QVariant has no set type; this one travels inside QVariant trees wherever
// a set is meant.
class OrderedSet {
public:
    OrderedSet() = default;
    OrderedSet(std::initializer_list<QVariant> values);

    // Adds value unless an equal one is there; returns whether it was added.
    bool insert(const QVariant &value);

    const QVariantList &values() const { return values_; }

    bool operator==(const OrderedSet &other) const = default;

private:
    QVariantList values_;
};

} // namespace zek

Q_DECLARE_METATYPE(zek::OrderedSet)
