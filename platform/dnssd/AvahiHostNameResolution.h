#pragma once

#include "NetServiceBrowser.h"

#include <QTimer>
#include <avahi-client/lookup.h>

namespace zek {

// One look-up of a host name's IPv4 address on avahi-daemon, which answers for ".local" names
// where the system's own look-up does not ask DNS-SD. It reports once, with the address or with
// nothing (no daemon, no answer within its time, the daemon gone meanwhile), then frees itself.
class AvahiHostNameResolution {
public:
    static void start(const QString &hostName, double timeout,
                      DNSServiceDiscovery::HostNameResolution done);

private:
    AvahiHostNameResolution(DNSServiceDiscovery::HostNameResolution done);
    ~AvahiHostNameResolution();
    static void resolverEvent(AvahiHostNameResolver *resolver, AvahiIfIndex, AvahiProtocol,
                              AvahiResolverEvent event, const char *, const AvahiAddress *address,
                              AvahiLookupResultFlags, void *userdata);
    void finish(const QString &address);

    DNSServiceDiscovery::HostNameResolution done_;
    AvahiHostNameResolver *resolver_ = nullptr;
    QTimer timeout_;
    std::uint64_t lossToken_;
};

} // namespace zek
