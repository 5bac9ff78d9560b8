// The services table's transformers, on hand-made values and services.

#include "ZEKServiceTransformers.h"

#include "FakeDNSServiceDiscovery.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

const QVariant kEmpty = QVariant(u""_s);

QByteArray txt(const QByteArrayList &entries)
{
    QByteArray record;
    for (const QByteArray &entry : entries) {
        record.append(char(entry.size())).append(entry);
    }
    return record;
}

} // namespace

TEST(ZEKServiceTransformers, NameShowsTheDevice)
{
    const ZEKNameTransformer name;
    EXPECT_EQ(name.transformedValue(u"quil (12)"_s), QVariant(u"quil"_s));
    EXPECT_EQ(name.transformedValue(u"quil(2)"_s), QVariant(u"quil"_s));
    EXPECT_EQ(name.transformedValue(u"quil (2) x"_s), QVariant(u"quil (2) x"_s));
    EXPECT_EQ(name.transformedValue(u"QUIL Laser"_s), QVariant(u"QUIL Laser"_s));
    EXPECT_EQ(name.transformedValue(u"\tquil (3)"_s), QVariant(u"\tquil"_s));
    EXPECT_EQ(name.transformedValue(12), kEmpty);
    EXPECT_EQ(name.transformedValue(QVariant()), kEmpty);
}

TEST(ZEKServiceTransformers, AddressesShowTheFirstIPv4Address)
{
    const ZEKAddressesTransformer addresses;
    const QByteArray ipv4 = ipv4SocketAddress("10.0.0.7", 5004);
    EXPECT_EQ(addresses.transformedValue(QVariant::fromValue(QList<QByteArray>{ipv4})),
              QVariant(u"10.0.0.7"_s));
    EXPECT_EQ(addresses.transformedValue(QVariantList{ipv4}), QVariant(u"10.0.0.7"_s));
    EXPECT_EQ(addresses.transformedValue(QVariant::fromValue(QList<QByteArray>{})), kEmpty);
    EXPECT_EQ(addresses.transformedValue(QVariant::fromValue(QList<QByteArray>{"short"})), kEmpty);
    EXPECT_EQ(addresses.transformedValue(QVariantList{u"10.0.0.7"_s}), kEmpty);
    EXPECT_EQ(addresses.transformedValue(u"10.0.0.7"_s), kEmpty);
}

TEST(ZEKServiceTransformers, PortNeedsTheWholeService)
{
    const ZEKPortTransformer port;
    auto service = std::make_shared<FakeNetService>(u"local."_s, u"_http._tcp."_s, u"quil"_s);
    const QVariant wrapped = QVariant::fromValue(std::shared_ptr<zek::NetService>(service));
    EXPECT_EQ(port.transformedValue(wrapped), QVariant(u"-1"_s));
    service->resolveAs(u"hosta.local."_s, 5004, {});
    EXPECT_EQ(port.transformedValue(wrapped), QVariant(u"5004"_s));
    EXPECT_EQ(port.transformedValue(5004), kEmpty);
    EXPECT_EQ(port.transformedValue(QVariant::fromValue(std::shared_ptr<zek::NetService>())),
              kEmpty);
}

TEST(ZEKServiceTransformers, TXTRecordShowsTheQweValue)
{
    const ZEKTXTRecordDataTransformer record;
    const struct {
        QByteArray data;
        QVariant shown;
    } cases[] = {
        {txt({"path=/", "qwe=Laser 1"}), QVariant(QByteArray("Laser 1"))},
        {txt({"qwe=a=b"}), QVariant(QByteArray("a=b"))},
        {txt({"qwe="}), QVariant(QByteArray(""))},
        // The first of repeated keys counts; keys keep their case.
        {txt({"qwe=1", "qwe=2"}), QVariant(QByteArray("1"))},
        {txt({"QWE=1"}), QVariant()},
        // A key alone has no value; the key is still there.
        {txt({"qwe"}), QVariant(QByteArray())},
        {txt({"path=/"}), QVariant()},
        {QByteArray(), QVariant()},
        // A length that runs past the end ends the record; what came before stays.
        {txt({"qwe=ok"}) + QByteArray("\x09qwe=", 5), QVariant(QByteArray("ok"))},
        {QByteArray("\x09qwe=cut", 8), QVariant()},
    };
    for (const auto &test : cases) {
        EXPECT_EQ(record.transformedValue(test.data), test.shown)
            << test.data.toHex().toStdString();
    }
    EXPECT_EQ(record.transformedValue(u"qwe=1"_s), kEmpty);
}
