#include "AvahiNetService.h"

#include "AvahiNames.h"
#include "SystemLog.h"

#include <arpa/inet.h>
#include <avahi-common/error.h>
#include <cstring>
#include <netinet/in.h>
#include <string>

namespace zek {

using avahi_names::withoutTrailingDot;
using avahi_names::withTrailingDot;

namespace {

QByteArray socketAddress(const AvahiAddress &address, uint16_t port, AvahiIfIndex interface)
{
    if (address.proto == AVAHI_PROTO_INET) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        in.sin_addr.s_addr = address.data.ipv4.address;
        return QByteArray(reinterpret_cast<const char *>(&in), sizeof in);
    }
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    std::memcpy(&in6.sin6_addr, address.data.ipv6.address, sizeof in6.sin6_addr);
    // A link-local address means nothing without its interface.
    if (IN6_IS_ADDR_LINKLOCAL(&in6.sin6_addr) && interface > 0) {
        in6.sin6_scope_id = static_cast<uint32_t>(interface);
    }
    return QByteArray(reinterpret_cast<const char *>(&in6), sizeof in6);
}

QByteArray txtRecordData(AvahiStringList *txt)
{
    QByteArray data(static_cast<qsizetype>(avahi_string_list_serialize(txt, nullptr, 0)), '\0');
    data.resize(static_cast<qsizetype>(avahi_string_list_serialize(txt, data.data(), data.size())));
    return data;
}

void logAvahiTrouble(const QString &what, const QString &name, int error)
{
    systemLog(
        (what + QStringLiteral(" '%1': %2").arg(name, QString::fromUtf8(avahi_strerror(error))))
            .toStdString());
}

} // namespace

AvahiNetService::AvahiNetService(const QString &domain, const QString &type, const QString &name,
                                 int port, QByteArray browseType, QByteArray browseDomain)
    : NetService(domain, type, name, port),
      browseType_(browseType.isEmpty() ? withoutTrailingDot(type) : std::move(browseType)),
      browseDomain_(browseDomain.isEmpty() ? withoutTrailingDot(domain) : std::move(browseDomain)),
      lossToken_(AvahiConnection::shared().onLoss([this] { freeHandles(); }))
{
    resolveTimeout_.setSingleShot(true);
    QObject::connect(&resolveTimeout_, &QTimer::timeout, [this] {
        // An IPv6-only device is still worth its host name and port.
        if (!found_.ipv6.isEmpty()) {
            finishResolving();
        } else {
            freeResolvers();
        }
    });
}

AvahiNetService::~AvahiNetService()
{
    freeHandles();
    AvahiConnection::shared().removeLossHandler(lossToken_);
}

void AvahiNetService::addBrowsePath(AvahiIfIndex interface, AvahiProtocol protocol)
{
    AvahiIfIndex &known = protocol == AVAHI_PROTO_INET ? ipv4Interface_ : ipv6Interface_;
    if (known == AVAHI_IF_UNSPEC) {
        known = interface;
    }
}

void AvahiNetService::resolveWithTimeout(double timeout)
{
    freeResolvers();
    found_ = {};
    AvahiClient *client = AvahiConnection::shared().client();
    if (client == nullptr) {
        return;
    }
    const QByteArray name = this->name().toUtf8();
    const auto resolver = [&](AvahiIfIndex interface, AvahiProtocol protocol) {
        // Over the protocol it was seen on, or any when it was not seen that way.
        return avahi_service_resolver_new(
            client, interface, interface == AVAHI_IF_UNSPEC ? AVAHI_PROTO_UNSPEC : protocol,
            name.constData(), browseType_.constData(), browseDomain_.constData(), protocol,
            AvahiLookupFlags(0), &AvahiNetService::resolverEvent, this);
    };
    ipv4Resolver_ = resolver(ipv4Interface_, AVAHI_PROTO_INET);
    ipv6Resolver_ = resolver(ipv6Interface_, AVAHI_PROTO_INET6);
    resolveTimeout_.start(static_cast<int>(std::max(0.0, timeout) * 1000));
}

void AvahiNetService::publish()
{
    freeGroup();
    AvahiClient *client = AvahiConnection::shared().client();
    if (client == nullptr) {
        systemLog("Cannot publish '" + name().toStdString() + "': DNS-SD is not available");
        return;
    }
    group_ = avahi_entry_group_new(client, &AvahiNetService::groupEvent, this);
    const int error =
        group_ == nullptr
            ? avahi_client_errno(client)
            : avahi_entry_group_add_service(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                            AvahiPublishFlags(0), name().toUtf8().constData(),
                                            browseType_.constData(), browseDomain_.constData(),
                                            nullptr, static_cast<uint16_t>(port()), nullptr);
    if (error != AVAHI_OK || avahi_entry_group_commit(group_) != AVAHI_OK) {
        logAvahiTrouble(QStringLiteral("Cannot publish"), name(),
                        error != AVAHI_OK ? error : avahi_client_errno(client));
        freeGroup();
    }
}

void AvahiNetService::stop()
{
    freeHandles();
}

void AvahiNetService::resolverEvent(AvahiServiceResolver *resolver, AvahiIfIndex interface,
                                    AvahiProtocol, AvahiResolverEvent event, const char *,
                                    const char *, const char *, const char *hostName,
                                    const AvahiAddress *address, uint16_t port,
                                    AvahiStringList *txt, AvahiLookupResultFlags, void *userdata)
{
    auto *service = static_cast<AvahiNetService *>(userdata);
    // The delegate may let go of the service while it is told.
    const auto keep = service->weak_from_this().lock();
    if (event == AVAHI_RESOLVER_FOUND && address != nullptr) {
        service->resolved(resolver, interface, hostName, address, port, txt);
    } else {
        service->resolverFailed(resolver);
    }
}

void AvahiNetService::resolved(AvahiServiceResolver *resolver, AvahiIfIndex interface,
                               const char *hostName, const AvahiAddress *address, uint16_t port,
                               AvahiStringList *txt)
{
    found_.hostName = withTrailingDot(hostName);
    found_.port = port;
    found_.txtRecordData = txtRecordData(txt);
    (address->proto == AVAHI_PROTO_INET ? found_.ipv4 : found_.ipv6) =
        socketAddress(*address, port, interface);
    // Done with this resolver; that may already finish an IPv6-only service.
    resolverFailed(resolver);
    if (!found_.ipv4.isEmpty()) {
        finishResolving();
    }
}

void AvahiNetService::resolverFailed(AvahiServiceResolver *resolver)
{
    for (AvahiServiceResolver **slot : {&ipv4Resolver_, &ipv6Resolver_}) {
        if (*slot == resolver) {
            avahi_service_resolver_free(resolver);
            *slot = nullptr;
        }
    }
    if (ipv4Resolver_ == nullptr && ipv6Resolver_ == nullptr && !found_.ipv6.isEmpty() &&
        found_.ipv4.isEmpty()) {
        finishResolving();
    }
}

void AvahiNetService::finishResolving()
{
    freeResolvers();
    QList<QByteArray> addresses;
    for (const QByteArray &address : {found_.ipv4, found_.ipv6}) {
        if (!address.isEmpty()) {
            addresses.append(address);
        }
    }
    const Found found = std::exchange(found_, {});
    didResolve(found.hostName, found.port, addresses, found.txtRecordData);
}

void AvahiNetService::groupEvent(AvahiEntryGroup *group, AvahiEntryGroupState state, void *userdata)
{
    auto *service = static_cast<AvahiNetService *>(userdata);
    if (state == AVAHI_ENTRY_GROUP_COLLISION || state == AVAHI_ENTRY_GROUP_FAILURE) {
        logAvahiTrouble(state == AVAHI_ENTRY_GROUP_COLLISION
                            ? QStringLiteral("Another service on the network is named")
                            : QStringLiteral("Cannot publish"),
                        service->name(), avahi_client_errno(avahi_entry_group_get_client(group)));
    }
}

void AvahiNetService::freeResolvers()
{
    resolveTimeout_.stop();
    for (AvahiServiceResolver **slot : {&ipv4Resolver_, &ipv6Resolver_}) {
        if (*slot != nullptr) {
            avahi_service_resolver_free(*slot);
            *slot = nullptr;
        }
    }
}

void AvahiNetService::freeGroup()
{
    if (group_ != nullptr) {
        avahi_entry_group_free(group_);
        group_ = nullptr;
    }
}

void AvahiNetService::freeHandles()
{
    freeResolvers();
    freeGroup();
}

} // namespace zek
