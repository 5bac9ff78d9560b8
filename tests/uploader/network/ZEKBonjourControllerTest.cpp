// The browser's state machine and the device search, against a scripted
// DNS-SD layer, with the event loop and short real timers.

#include "ZEKBonjourController.h"

#include "EventLoop.h"
#include "FakeDNSServiceDiscovery.h"
#include "ZEKLog.h"
#include "ZEKNetworkController.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr auto kTimeout = 200ms;

// Collects the application log's lines while it lives.
class LogLines {
public:
    LogLines()
        : token_(ZEKLog::sharedLog().subscribe([this](const QString &line) { lines.append(line); }))
    {}
    ~LogLines() { ZEKLog::sharedLog().unsubscribe(token_); }

    QStringList lines;

private:
    ZEKLog::SubscriberToken token_;
};

QStringList namesOf(const ZEKBonjourController::Services &services)
{
    QStringList names;
    for (const auto &service : services) {
        names.append(service->name() + u" in "_s + service->domain());
    }
    return names;
}

// What the completions of searches were called with.
struct Calls {
    int count = 0;
    QStringList found;

    auto services()
    {
        return [this](const ZEKBonjourController::Services &services) {
            ++count;
            found = namesOf(services);
        };
    }
};

class ZEKBonjourControllerTest : public testing::Test {
protected:
    FakeDNSServiceDiscovery discovery;
    std::shared_ptr<ZEKBonjourController> controller =
        ZEKBonjourController::create(discovery, kTimeout);
    FakeNetServiceBrowser &browser = *discovery.browser;
    LogLines log;
};

} // namespace

TEST_F(ZEKBonjourControllerTest, DomainSearchRefusesASecondRequestWhileItRuns)
{
    browser.domainAnswer = {{u"local."_s, false, 50ms}};
    Calls first, second;
    controller->findDomainsWithCompletion([&](const QStringList &domains) {
        ++first.count;
        first.found = domains;
        EXPECT_FALSE(controller->isSearching());
    });
    EXPECT_TRUE(controller->isSearching());
    controller->findDomainsWithCompletion([&](const QStringList &) { ++second.count; });
    controller->findServicesOfType(u"_http._tcp."_s, u"local."_s,
                                   [&](const auto &) { ++second.count; });

    ASSERT_TRUE(waitUntil([&] { return first.count > 0; }));
    waitUntil([] { return false; }, kTimeout * 2);
    EXPECT_EQ(first.count, 1);
    EXPECT_EQ(first.found, QStringList{u"local."_s});
    EXPECT_EQ(second.count, 0);
    EXPECT_EQ(browser.requests, (QStringList{u"domains"_s, u"stop"_s}));
    EXPECT_EQ(log.lines,
              (QStringList{u"Starting Domains searching"_s, u"Domains did found: [local.]"_s}));
}

TEST_F(ZEKBonjourControllerTest, SearchesThatFindNothingEndByTheirTimeout)
{
    Calls domains, services;
    controller->findDomainsWithCompletion([&](const QStringList &found) {
        ++domains.count;
        domains.found = found;
        controller->findServicesOfType(u"_http._tcp."_s, u"local."_s, services.services());
    });
    ASSERT_TRUE(waitUntil([&] { return services.count > 0; }));
    EXPECT_EQ(domains.count, 1);
    EXPECT_TRUE(domains.found.isEmpty());
    EXPECT_TRUE(services.found.isEmpty());
    EXPECT_FALSE(controller->isSearching());
    EXPECT_EQ(log.lines,
              (QStringList{u"Starting Domains searching"_s, u"No Domains found by timeout"_s,
                           u"Starting Services searching of type '_http._tcp.' in "
                           u"domain 'local.'"_s,
                           u"No Services found by timeout"_s}));
}

TEST_F(ZEKBonjourControllerTest, ABatchEndsAtItsLastReportAndEveryReportGivesMoreTime)
{
    // Spread wider than one timeout, but no gap as long as one.
    browser.serviceAnswers[u"local."_s] = {
        {u"A"_s, true, 0ms},
        {u"B"_s, true, kTimeout * 3 / 4},
        // A published name must not forge a log line, nor reach a terminal as a command.
        {u"C\n[12:00:00 ] forged\x1b"_s, false, kTimeout * 3 / 2}};
    Calls calls;
    controller->findServicesOfType(u"_http._tcp."_s, u"local."_s, calls.services());
    ASSERT_TRUE(waitUntil([&] { return calls.count > 0; }));
    EXPECT_EQ(calls.found, (QStringList{u"A in local."_s, u"B in local."_s,
                                        u"C\n[12:00:00 ] forged\x1b in local."_s}));
    EXPECT_EQ(log.lines.last(), u"Services did found: [A, B, C\\n[12:00:00 ] forged\\x1b]"_s);
    EXPECT_EQ(log.lines.size(), 2);
}

TEST_F(ZEKBonjourControllerTest, ABatchThatFallsSilentEndsWithWhatItFound)
{
    browser.serviceAnswers[u"local."_s] = {{u"A"_s, true}, {u"B"_s, true}};
    Calls calls;
    controller->findServicesOfType(u"_http._tcp."_s, u"local."_s, calls.services());
    ASSERT_TRUE(waitUntil([&] { return calls.count > 0; }));
    EXPECT_EQ(calls.found, (QStringList{u"A in local."_s, u"B in local."_s}));
    EXPECT_EQ(log.lines.last(), u"Services did found: [A, B]"_s);
    EXPECT_FALSE(log.lines.contains(u"No Services found by timeout"_s));

    // The next search is not refused.
    browser.serviceAnswers[u"local."_s] = {{u"C"_s, false}};
    controller->findServicesOfType(u"_http._tcp."_s, u"local."_s, calls.services());
    ASSERT_TRUE(waitUntil([&] { return calls.count > 1; }));
    EXPECT_EQ(calls.found, QStringList{u"C in local."_s});
}

TEST_F(ZEKBonjourControllerTest, ChainSearchesTheFilteredDomainsLastFirstAndCompletesOnce)
{
    browser.domainAnswer = {{u"local."_s, true}, {u"a.example."_s, true}, {u"b.example."_s, false}};
    browser.serviceAnswers[u"b.example."_s] = {{u"B1"_s, false}};
    // a.example. answers nothing and ends by its timeout.
    browser.serviceAnswers[u"local."_s] = {{u"L1"_s, true}, {u"L2"_s, false}};
    QStringList filtered;
    Calls calls;
    controller->findServicesOfType(
        u"_http._tcp."_s,
        [&](const QStringList &domains) {
            filtered = domains;
            return domains;
        },
        calls.services());
    ASSERT_TRUE(waitUntil([&] { return calls.count > 0; }));
    waitUntil([] { return false; }, kTimeout * 2);
    EXPECT_EQ(calls.count, 1);
    EXPECT_EQ(filtered, (QStringList{u"local."_s, u"a.example."_s, u"b.example."_s}));
    EXPECT_EQ(calls.found,
              (QStringList{u"B1 in b.example."_s, u"L1 in local."_s, u"L2 in local."_s}));
    EXPECT_EQ(browser.requests.filter(u"services"_s),
              (QStringList{u"services _http._tcp. in b.example."_s,
                           u"services _http._tcp. in a.example."_s,
                           u"services _http._tcp. in local."_s}));
    EXPECT_TRUE(log.lines.contains(u"No Services found by timeout"_s));

    // A filter that keeps nothing completes at once with nothing, and searches nothing.
    browser.requests.clear();
    controller->findServicesOfType(
        u"_http._tcp."_s, [](const QStringList &) { return QStringList(); }, calls.services());
    ASSERT_TRUE(waitUntil([&] { return calls.count > 1; }));
    EXPECT_TRUE(calls.found.isEmpty());
    EXPECT_EQ(browser.requests.filter(u"services"_s), QStringList());
}

TEST_F(ZEKBonjourControllerTest, TestServiceIsPublishedAndWithdrawn)
{
    controller->registerTestServiceWithName(u"quil Test"_s, 5004);
    controller->registerTestServiceWithName(u""_s, 5004);
    ASSERT_EQ(discovery.services.size(), 1);
    const auto service = discovery.services.first();
    EXPECT_TRUE(service->published);
    EXPECT_EQ(service->domain(), u"local."_s);
    EXPECT_EQ(service->type(), u"_http._tcp."_s);
    EXPECT_EQ(service->port(), 5004);
    controller->unregisterTestService();
    EXPECT_TRUE(service->stopped);
    EXPECT_EQ(log.lines,
              (QStringList{u"Registering test service: (quil Test:5004)"_s,
                           u"Test service registered"_s, u"Registering test service: (:5004)"_s,
                           u"An error occurred initializing the NSNetService object"_s,
                           u"Test service unregistered"_s}));
}

// The upload side's device search, through the Bonjour controller, on a scripted DNS-SD layer
// that finds the domain "local.".
class ZEKNetworkControllerDiscoveryTest : public testing::Test {
protected:
    void SetUp() override { browser.domainAnswer = {{u"local."_s, false}}; }

    FakeDNSServiceDiscovery discovery;
    ZEKNetworkController controller{discovery};
    FakeNetServiceBrowser &browser = *discovery.browser;
};

TEST_F(ZEKNetworkControllerDiscoveryTest, ChoosesResolvesAndReportsTheDevices)
{
    browser.serviceAnswers[u"local."_s] = {{u"Printer"_s, true},
                                           {u"QUIL Laser"_s, true},
                                           {u"quil (2)"_s, true},
                                           {u"quil (10)"_s, false}};
    LogLines log;
    QStringList chosen;
    QList<std::shared_ptr<zek::NetService>> resolved;
    controller.bonjourSearchAvailableServicesWithCompletion(
        [&](const auto &services) { chosen = namesOf(services); },
        [&](const auto &service) { resolved.append(service); });
    EXPECT_FALSE(controller.lastSearchServices().has_value());
    ASSERT_TRUE(waitUntil([&] { return !chosen.isEmpty(); }));

    EXPECT_EQ(chosen, (QStringList{u"QUIL Laser in local."_s, u"quil (10) in local."_s}));
    ASSERT_EQ(browser.reported.size(), 4);
    const auto laser = browser.reported.at(1);
    const auto ten = browser.reported.at(3);
    EXPECT_EQ(laser->resolveTimeouts, QList<double>{0.5});
    EXPECT_EQ(ten->resolveTimeouts, QList<double>{0.5});
    EXPECT_TRUE(browser.reported.at(2)->resolveTimeouts.isEmpty());

    laser->resolveAs(u"hosta.local."_s, 5004, {ipv4SocketAddress("192.168.1.20", 5004)});
    ten->resolveAs(u"hostb.local."_s, 80, {});
    // A service that was not chosen (or is of an earlier search) is not reported.
    browser.reported.at(2)->setDelegate(&controller);
    browser.reported.at(2)->resolveAs(u"hostc.local."_s, 80, {});
    EXPECT_EQ(resolved, (QList<std::shared_ptr<zek::NetService>>{laser, ten}));

    EXPECT_EQ(log.lines,
              (QStringList{
                  u"Starting Domains searching"_s, u"Domains did found: [local.]"_s,
                  u"Filtered Domains: [local.]"_s,
                  u"Starting Services searching of type '_http._tcp.' in domain 'local.'"_s,
                  u"Services did found: [Printer, QUIL Laser, quil (2), quil (10)]"_s,
                  u"Filtered Services: [QUIL Laser, quil (10)]"_s,
                  u"Service resolved: {name: QUIL Laser, domain: local., hostname: hosta.local., "
                  u"port: 5004, ip: 192.168.1.20}"_s,
                  u"Service resolved: {name: quil (10), domain: local., hostname: hostb.local., "
                  u"port: 80, ip: }"_s}));

    // A new search forgets the last one's devices until its own are chosen.
    controller.bonjourSearchAvailableServicesWithCompletion(nullptr, nullptr);
    EXPECT_FALSE(controller.lastSearchServices().has_value());
    laser->resolveAs(u"hosta.local."_s, 5004, {});
    EXPECT_EQ(resolved.size(), 2);
}

// A search asked for while one runs is refused and never calls its own callbacks; the running
// one still chooses its devices, sets them as the latest again, and calls the callbacks it was
// started with, once.
TEST_F(ZEKNetworkControllerDiscoveryTest, ASearchAskedForWhileOneRunsLeavesItToFinish)
{
    browser.serviceAnswers[u"local."_s] = {{u"quil A"_s, false}};
    int first = 0;
    int second = 0;
    controller.bonjourSearchAvailableServicesWithCompletion([&](const auto &) { ++first; },
                                                            nullptr);
    controller.bonjourSearchAvailableServicesWithCompletion([&](const auto &) { ++second; },
                                                            nullptr);
    ASSERT_TRUE(waitUntil([&] { return first > 0; }));
    waitUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    ASSERT_TRUE(controller.lastSearchServices().has_value());
    EXPECT_EQ(namesOf(*controller.lastSearchServices()), QStringList{u"quil A in local."_s});
}
