#pragma once

#include "AvahiConnection.h"
#include "AvahiNetService.h"
#include "NetServiceBrowser.h"

#include <QObject>
#include <QStringList>
#include <avahi-client/lookup.h>
#include <cstdint>
#include <functional>

namespace zek {

// A browser on avahi-daemon that reports as the desktop's DNS-SD browsers do:
// - "local." is always the first browsable domain, and names end in a dot;
// - a service seen on several interfaces or over IPv4 and IPv6 is one service;
// - a batch is everything up to Avahi's "all for now" (its "cache exhausted"
//   comes earlier and would miss devices not cached yet); what comes after a
//   batch is reported one by one;
// - without a daemon the domain search still finds "local." and a service
//   search finds nothing.
class AvahiNetServiceBrowser : public NetServiceBrowser {
public:
    AvahiNetServiceBrowser();
    ~AvahiNetServiceBrowser() override;

    void searchForBrowsableDomains() override;
    void searchForServicesOfType(const QString &type, const QString &inDomain) override;
    void stop() override;

private:
    static void domainEvent(AvahiDomainBrowser *browser, AvahiIfIndex interface,
                            AvahiProtocol protocol, AvahiBrowserEvent event, const char *domain,
                            AvahiLookupResultFlags flags, void *userdata);
    static void serviceEvent(AvahiServiceBrowser *browser, AvahiIfIndex interface,
                             AvahiProtocol protocol, AvahiBrowserEvent event, const char *name,
                             const char *type, const char *domain, AvahiLookupResultFlags flags,
                             void *userdata);
    // What both kinds of search do with an event; found handles a new entry.
    void browserEvent(AvahiBrowserEvent event, const std::function<void()> &found);
    void foundDomain(const QString &domain);
    void foundService(AvahiIfIndex interface, AvahiProtocol protocol, const char *name,
                      const char *type, const char *domain);
    // Reports what is pending, the last with moreComing false.
    void endBatch();
    void endBatchLater();
    void freeHandles();

    AvahiDomainBrowser *domainBrowser_ = nullptr;
    AvahiServiceBrowser *serviceBrowser_ = nullptr;
    QString serviceType_;
    QStringList seenDomains_;
    QStringList pendingDomains_;
    QList<std::shared_ptr<AvahiNetService>> seenServices_;
    QList<std::shared_ptr<AvahiNetService>> pendingServices_;
    bool batchEnded_ = false;
    // Every search and stop starts a new generation; reports of an older one are dropped.
    std::uint64_t generation_ = 0;
    QObject context_;
    AvahiConnection::Token lossToken_;
};

} // namespace zek
