#pragma once

#include "AvahiConnection.h"
#include "NetService.h"

#include <QTimer>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <memory>

namespace zek {

// A service on avahi-daemon. Resolution asks for the IPv4 and the IPv6
// address at once, each over the interface and protocol the service was seen
// on (a lookup over every interface is slower than the 0.5 s a device gets),
// and reports as soon as the IPv4 one is known (IPv6 after it, when it came
// first); a device that has only IPv6 is reported when the time runs out.
// Publication announces it on every interface.
class AvahiNetService : public NetService, public std::enable_shared_from_this<AvahiNetService> {
public:
    // browseType and browseDomain: the names as Avahi gave them, for resolving.
    AvahiNetService(const QString &domain, const QString &type, const QString &name, int port,
                    QByteArray browseType = {}, QByteArray browseDomain = {});
    ~AvahiNetService() override;

    // The browser saw the service on this interface over this protocol.
    void addBrowsePath(AvahiIfIndex interface, AvahiProtocol protocol);

    void resolveWithTimeout(double timeout) override;
    void publish() override;
    void stop() override;

private:
    struct Found {
        QString hostName;
        int port = -1;
        QByteArray txtRecordData;
        QByteArray ipv4;
        QByteArray ipv6;
    };

    static void resolverEvent(AvahiServiceResolver *resolver, AvahiIfIndex interface,
                              AvahiProtocol protocol, AvahiResolverEvent event, const char *name,
                              const char *type, const char *domain, const char *hostName,
                              const AvahiAddress *address, uint16_t port, AvahiStringList *txt,
                              AvahiLookupResultFlags flags, void *userdata);
    static void groupEvent(AvahiEntryGroup *group, AvahiEntryGroupState state, void *userdata);
    void resolved(AvahiServiceResolver *resolver, AvahiIfIndex interface, const char *hostName,
                  const AvahiAddress *address, uint16_t port, AvahiStringList *txt);
    void resolverFailed(AvahiServiceResolver *resolver);
    void finishResolving();
    void freeResolvers();
    void freeGroup();
    void freeHandles();

    QByteArray browseType_;
    QByteArray browseDomain_;
    AvahiIfIndex ipv4Interface_ = AVAHI_IF_UNSPEC;
    AvahiIfIndex ipv6Interface_ = AVAHI_IF_UNSPEC;
    AvahiServiceResolver *ipv4Resolver_ = nullptr;
    AvahiServiceResolver *ipv6Resolver_ = nullptr;
    Found found_;
    QTimer resolveTimeout_;
    AvahiEntryGroup *group_ = nullptr;
    AvahiConnection::Token lossToken_;
};

} // namespace zek
