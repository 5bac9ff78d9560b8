// The services table's transformers, on hand-made values and services.

#include "ZEKServiceTransformers.h"

#include "FakeDNSServiceDiscovery.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

QByteArray txt(const QByteArrayList &entries)
{
    QByteArray record;
    for (const QByteArray &entry : entries) {
        record.append(char(entry.size())).append(entry);
    }
    return record;
}

// What each column shows of what the table hands it; "" where it cannot show it.
TEST(ZEKServiceTransformersTest, EachColumnShowsItsPartOfTheService)
{
    const ZEKNameTransformer name;
    const ZEKAddressesTransformer addresses;
    const ZEKPortTransformer port;
    const ZEKTXTRecordDataTransformer record;
    const QVariant empty(u""_s);
    const QByteArray ipv4 = ipv4SocketAddress("10.0.0.7", 5004);
    const auto unresolved =
        std::make_shared<FakeNetService>(u"local."_s, u"_http._tcp."_s, u"quil"_s);
    const auto resolved =
        std::make_shared<FakeNetService>(u"local."_s, u"_http._tcp."_s, u"quil"_s);
    resolved->resolveAs(u"hosta.local."_s, 5004, {});
    const auto service = [](std::shared_ptr<zek::NetService> shown) {
        return QVariant::fromValue(shown);
    };
    const auto bytes = [](const char *text) { return QVariant(QByteArray(text)); };

    const struct {
        const char *what;
        const ZEKValueTransformer &transformer;
        QVariant value;
        QVariant shown;
    } rows[] = {
        {"name with a number", name, u"quil (12)"_s, u"quil"_s},
        {"name with a number, no space", name, u"quil(2)"_s, u"quil"_s},
        {"name with a number inside", name, u"quil (2) x"_s, u"quil (2) x"_s},
        {"name with a leading tab", name, u"\tquil (3)"_s, u"\tquil"_s},
        {"name of no text", name, QVariant(), empty},
        {"addresses", addresses, QVariant::fromValue(QList<QByteArray>{ipv4}), u"10.0.0.7"_s},
        {"addresses as a list", addresses, QVariantList{ipv4}, u"10.0.0.7"_s},
        {"no addresses", addresses, QVariant::fromValue(QList<QByteArray>{}), empty},
        {"an address too short", addresses, QVariant::fromValue(QList<QByteArray>{"short"}), empty},
        {"addresses as text", addresses, QVariantList{u"10.0.0.7"_s}, empty},
        {"port before resolving", port, service(unresolved), u"-1"_s},
        {"port", port, service(resolved), u"5004"_s},
        {"port of no service", port, service(nullptr), empty},
        {"TXT", record, txt({"path=/", "qwe=Laser 1"}), bytes("Laser 1")},
        {"TXT value with =", record, txt({"qwe=a=b"}), bytes("a=b")},
        {"TXT empty value", record, txt({"qwe="}), bytes("")},
        // The first of repeated keys counts; keys keep their case.
        {"TXT key twice", record, txt({"qwe=1", "qwe=2"}), bytes("1")},
        {"TXT key in capitals", record, txt({"QWE=1"}), QVariant()},
        // A key alone has no value; the key is still there.
        {"TXT key alone", record, txt({"qwe"}), QVariant(QByteArray())},
        {"TXT without the key", record, txt({"path=/"}), QVariant()},
        {"TXT empty", record, QByteArray(), QVariant()},
        // A length that runs past the end ends the record; what came before stays.
        {"TXT cut after the key", record, txt({"qwe=ok"}) + QByteArray("\x09qwe=", 5), bytes("ok")},
        {"TXT cut in the key", record, QByteArray("\x09qwe=cut", 8), QVariant()},
        {"TXT as text", record, u"qwe=1"_s, empty},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.transformer.transformedValue(row.value), row.shown);
    }
}

} // namespace
