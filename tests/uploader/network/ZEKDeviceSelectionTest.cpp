// The device selection and the address text, on hand-made services.

#include "ZEKDeviceSelection.h"

#include "FakeDNSServiceDiscovery.h"
#include "ZEKNetworkController.h"

#include <QStringList>
#include <gtest/gtest.h>
#include <netinet/in.h>

using namespace Qt::StringLiterals;

namespace {

ZEKDeviceSelection::Services servicesNamed(const QStringList &names)
{
    ZEKDeviceSelection::Services services;
    for (const QString &name : names) {
        services.append(std::make_shared<FakeNetService>(u"local."_s, u"_http._tcp."_s, name));
    }
    return services;
}

QStringList namesOf(const ZEKDeviceSelection::Services &services)
{
    QStringList names;
    for (const auto &service : services) {
        names.append(service->name());
    }
    return names;
}

} // namespace

TEST(ZEKDeviceSelectionTest, ChoosesOneServicePerDevice)
{
    const struct {
        QStringList found;
        QStringList chosen;
    } cases[] = {
        {{u"Printer"_s, u"QUIL Laser"_s, u"quil"_s}, {u"QUIL Laser"_s, u"quil"_s}},
        // Numbers compare as integers, not as text.
        {{u"quil (2)"_s, u"quil (10)"_s}, {u"quil (10)"_s}},
        {{u"quil (10)"_s, u"quil (9)"_s}, {u"quil (10)"_s}},
        // A name without a number replaces what came before it, and is replaced after.
        {{u"quil (3)"_s, u"quil"_s}, {u"quil"_s}},
        {{u"quil"_s, u"quil (3)"_s}, {u"quil (3)"_s}},
        // Equal numbers: the later one; leading zeros do not count.
        {{u"quil (007)"_s, u"quil (7)"_s}, {u"quil (7)"_s}},
        {{u"quil (7)"_s, u"quil (007)"_s}, {u"quil (007)"_s}},
        // Numbers beyond any machine integer still compare.
        {{u"quil (100000000000000000000)"_s, u"quil (99999999999999999999)"_s},
         {u"quil (100000000000000000000)"_s}},
        // Only a number at the very end is a suffix; the key is trimmed of spaces.
        {{u"quil (2) x"_s, u"quil (3)"_s}, {u"quil (2) x"_s, u"quil (3)"_s}},
        {{u"quil (3)\n"_s, u"quil (2)"_s}, {u"quil (3)\n"_s, u"quil (2)"_s}},
        {{u"  quil   (4)"_s, u"quil(5)"_s}, {u"quil(5)"_s}},
        // A renamed conflict is another device.
        {{u"QUIL Big"_s, u"QUIL Big #2"_s}, {u"QUIL Big"_s, u"QUIL Big #2"_s}},
        // Keys keep their case; the device word matches in any case.
        {{u"Quil A"_s, u"quil a (2)"_s}, {u"Quil A"_s, u"quil a (2)"_s}},
        {{u"Office Printer"_s, u"Laser (2)"_s}, {}},
        {{}, {}},
    };
    for (const auto &test : cases) {
        EXPECT_EQ(namesOf(ZEKDeviceSelection::chooseDevices(servicesNamed(test.found))),
                  test.chosen)
            << test.found.join(u" | "_s).toStdString();
    }
}

TEST(ZEKDeviceSelectionTest, OfTwoEqualNamesTakesTheOneThatCameLater)
{
    const auto found = servicesNamed({u"quil (2)"_s, u"quil (2)"_s});
    const auto chosen = ZEKDeviceSelection::chooseDevices(found);
    ASSERT_EQ(chosen.size(), 1);
    EXPECT_EQ(chosen.first(), found.last());
}

TEST(ZEKNetworkControllerTest, AddressTextIsOnlyForIPv4SocketAddresses)
{
    EXPECT_EQ(ZEKNetworkController::extractIPaddressFromData(ipv4SocketAddress("192.168.1.20", 80)),
              u"192.168.1.20"_s);
    // The address field alone is enough.
    EXPECT_EQ(ZEKNetworkController::extractIPaddressFromData(ipv4SocketAddress("10.0.0.7").left(8)),
              u"10.0.0.7"_s);
    sockaddr_in6 ipv6{};
    ipv6.sin6_family = AF_INET6;
    ipv6.sin6_flowinfo = htonl(0x0a000007); // would read as 10.0.0.7 if the family were ignored
    for (const QByteArray &notIPv4 :
         {QByteArray(), ipv4SocketAddress("10.0.0.7").left(7),
          QByteArray(reinterpret_cast<const char *>(&ipv6), sizeof ipv6)}) {
        EXPECT_TRUE(ZEKNetworkController::extractIPaddressFromData(notIPv4).isNull())
            << notIPv4.toHex().toStdString();
    }
}
