// The text form of values and the ordered set.

#include "OrderedSet.h"
#include "ValueDescription.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

TEST(ValueDescription, TextFormOfEachKindOfValue)
{
    EXPECT_EQ(zek::description(u"text"_s), u"text"_s);
    EXPECT_EQ(zek::description(42), u"42"_s);
    EXPECT_EQ(zek::description(-7LL), u"-7"_s);
    EXPECT_EQ(zek::description(1.5), u"1.5"_s);
    EXPECT_EQ(zek::description(true), u"1"_s);
    EXPECT_EQ(zek::description(false), u"0"_s);
    EXPECT_EQ(zek::description(QVariant::fromValue(nullptr)), u"<null>"_s);
    EXPECT_EQ(zek::description(QByteArray("\x01\xAB")), u"<01ab>"_s);
    EXPECT_EQ(zek::description(QVariantMap{{u"b"_s, 1}, {u"a"_s, u"x"_s}}),
              u"{\"a\":\"x\",\"b\":1}"_s);
    EXPECT_EQ(zek::description(QVariantList{1, u"two"_s}), u"[1,\"two\"]"_s);
    EXPECT_EQ(zek::description(QVariant::fromValue(zek::OrderedSet{3, 1})), u"[3,1]"_s);
    EXPECT_TRUE(zek::description(QVariant()).isNull());
}

TEST(OrderedSet, KeepsTheFirstOfEqualValuesInInsertionOrder)
{
    zek::OrderedSet set{u"b"_s, u"a"_s, u"b"_s};
    EXPECT_TRUE(set.insert(u"c"_s));
    EXPECT_FALSE(set.insert(u"a"_s));
    EXPECT_EQ(set.values(), (QVariantList{u"b"_s, u"a"_s, u"c"_s}));
    const QVariant wrapped = QVariant::fromValue(set);
    EXPECT_EQ(wrapped.value<zek::OrderedSet>(), set);
}

} // namespace
