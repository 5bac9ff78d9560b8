#pragma once

#include "NetService.h"

#include <QString>
#include <functional>
#include <memory>

namespace zek {

class NetServiceBrowser;

// Hears what a browser finds, on the main thread. moreComing is true for
// every report of a batch but the last.
class NetServiceBrowserDelegate {
public:
    virtual ~NetServiceBrowserDelegate() = default;

    // netServiceBrowser:didFindDomain:moreComing:
    virtual void netServiceBrowser(NetServiceBrowser *browser, const QString &didFindDomain,
                                   bool moreComing) = 0;
    // netServiceBrowser:didFindService:moreComing:
    virtual void netServiceBrowser(NetServiceBrowser *browser,
                                   const std::shared_ptr<NetService> &didFindService,
                                   bool moreComing) = 0;
};

// Searches the network for browsable domains or for services of one type, one
// search at a time: starting a search ends the one before. Reports come later
// from the event loop, never from inside these calls, and stop with stop().
class NetServiceBrowser {
public:
    virtual ~NetServiceBrowser() = default;

    // Unretained: the delegate must outlive the browser.
    void setDelegate(NetServiceBrowserDelegate *delegate) { delegate_ = delegate; }
    NetServiceBrowserDelegate *delegate() const { return delegate_; }

    virtual void searchForBrowsableDomains() = 0;
    // type such as "_http._tcp.", domain such as "local.".
    virtual void searchForServicesOfType(const QString &type, const QString &inDomain) = 0;
    virtual void stop() = 0;

private:
    NetServiceBrowserDelegate *delegate_ = nullptr;
};

// Makes the browser and service objects of one DNS-SD implementation.
class DNSServiceDiscovery {
public:
    virtual ~DNSServiceDiscovery() = default;

    virtual std::unique_ptr<NetServiceBrowser> makeBrowser() = 0;
    // A service to publish, or null when the arguments cannot make one (a
    // name that is empty or too long, a port outside 0 to 65535).
    virtual std::shared_ptr<NetService> makeService(const QString &domain, const QString &type,
                                                    const QString &name, int port) = 0;

    // The IPv4 address of a host name such as "laser.local", asked of DNS-SD itself, for where
    // the system's own look-up does not ask it (no mDNS name service): reported once, later, on
    // the main thread; empty when none came within `timeout` seconds.
    using HostNameResolution = std::function<void(const QString &address)>;
    virtual void resolveHostName(const QString &hostName, double timeout,
                                 HostNameResolution done) = 0;

    // The system's DNS-SD: avahi-daemon over the system bus, driven from the
    // main thread's event loop. Made on first use and never freed.
    static DNSServiceDiscovery &system();
};

} // namespace zek
