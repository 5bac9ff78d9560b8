#include "OrderedSet.h"

namespace zek {

OrderedSet::OrderedSet(std::initializer_list<QVariant> values)
{
    for (const QVariant &value : values) {
        insert(value);
    }
}

bool OrderedSet::insert(const QVariant &value)
{
    if (values_.contains(value)) {
        return false;
    }
    values_.append(value);
    return true;
}

} // namespace zek
