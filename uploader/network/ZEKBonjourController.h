#pragma once

#include "NetServiceBrowser.h"
#include "ZEKBrowserSearch.h"

#include <QList>
#include <QStringList>
#include <chrono>
#include <functional>
#include <memory>

// The DNS-SD service type of HTTP servers, the type devices are browsed for.
extern const QString Hypertext_Transfer;

// Finds browsable domains, or the services of one type in one domain or in a
// list of domains, one search at a time: a request made while a search runs is
// dropped and its callback never called. A search ends with one completion
// call, when the browser's batch is complete or when no report came for the
// search timeout (2.0 s) since the start or since the last report. Each step
// goes to the application log. Main thread only.
class ZEKBonjourController : public zek::NetServiceBrowserDelegate,
                             public std::enable_shared_from_this<ZEKBonjourController> {
public:
    using Services = QList<std::shared_ptr<zek::NetService>>;
    using DomainsCompletion = std::function<void(const QStringList &domains)>;
    using ServicesCompletion = std::function<void(const Services &services)>;
    using DomainsFilter = std::function<QStringList(const QStringList &domains)>;

    static constexpr std::chrono::milliseconds kSearchTimeout{2000};

    // discovery makes the browser and the test services; it must outlive the controller.
    static std::shared_ptr<ZEKBonjourController>
    create(zek::DNSServiceDiscovery &discovery,
           std::chrono::milliseconds searchTimeout = kSearchTimeout);
    ~ZEKBonjourController() override;

    bool isSearching() const { return domainSearch_.isRunning() || serviceSearch_.isRunning(); }

    // findDomainsWithCompletion:
    void findDomainsWithCompletion(DomainsCompletion completion);
    // findServicesOfType:inDomain:withCompletion:
    void findServicesOfType(const QString &type, const QString &inDomain,
                            ServicesCompletion withCompletion);
    // findServicesOfType:inDomainsFiltered:withCompletion: searches the domains
    // that the filter keeps, from the last to the first, and completes once
    // with the services of all of them in that order. The chain holds the
    // controller weakly and ends silently when it is gone.
    void findServicesOfType(const QString &type, DomainsFilter inDomainsFiltered,
                            ServicesCompletion withCompletion);

    // A service of our own, "_http._tcp." in "local.", for trying discovery out.
    void registerTestServiceWithName(const QString &name, long onPort);
    void unregisterTestService();

    void netServiceBrowser(zek::NetServiceBrowser *browser, const QString &didFindDomain,
                           bool moreComing) override;
    void netServiceBrowser(zek::NetServiceBrowser *browser,
                           const std::shared_ptr<zek::NetService> &didFindService,
                           bool moreComing) override;

private:
    ZEKBonjourController(zek::DNSServiceDiscovery &discovery,
                         std::chrono::milliseconds searchTimeout);

    zek::DNSServiceDiscovery &discovery_;
    std::unique_ptr<zek::NetServiceBrowser> serviceBrowser_;
    ZEKBrowserSearch<QString> domainSearch_;
    ZEKBrowserSearch<std::shared_ptr<zek::NetService>> serviceSearch_;
    std::optional<Services> testServices_;
};
