#include "AvahiHostNameResolution.h"

#include "AvahiConnection.h"
#include "AvahiNames.h"

#include <QMetaObject>
#include <avahi-common/address.h>

namespace zek {

void AvahiHostNameResolution::start(const QString &hostName, double timeout,
                                    DNSServiceDiscovery::HostNameResolution done)
{
    auto *resolution = new AvahiHostNameResolution(std::move(done));
    AvahiClient *client = AvahiConnection::shared().client();
    if (client != nullptr) {
        resolution->resolver_ = avahi_host_name_resolver_new(
            client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
            avahi_names::withoutTrailingDot(hostName).constData(), AVAHI_PROTO_INET,
            AvahiLookupFlags(0), &AvahiHostNameResolution::resolverEvent, resolution);
    }
    if (resolution->resolver_ == nullptr) {
        // Reported later, as every answer is.
        QMetaObject::invokeMethod(
            &resolution->timeout_, [resolution] { resolution->finish(QString()); },
            Qt::QueuedConnection);
        return;
    }
    resolution->timeout_.start(static_cast<int>(std::max(0.0, timeout) * 1000));
}

AvahiHostNameResolution::AvahiHostNameResolution(DNSServiceDiscovery::HostNameResolution done)
    : done_(std::move(done)), lossToken_(AvahiConnection::shared().onLoss([this] {
          // The resolver goes with the client; no answer will come.
          resolver_ = nullptr;
          finish(QString());
      }))
{
    timeout_.setSingleShot(true);
    QObject::connect(&timeout_, &QTimer::timeout, [this] { finish(QString()); });
}

AvahiHostNameResolution::~AvahiHostNameResolution()
{
    AvahiConnection::shared().removeLossHandler(lossToken_);
    if (resolver_ != nullptr) {
        avahi_host_name_resolver_free(resolver_);
    }
}

void AvahiHostNameResolution::resolverEvent(AvahiHostNameResolver *, AvahiIfIndex, AvahiProtocol,
                                            AvahiResolverEvent event, const char *,
                                            const AvahiAddress *address, AvahiLookupResultFlags,
                                            void *userdata)
{
    auto *resolution = static_cast<AvahiHostNameResolution *>(userdata);
    char text[AVAHI_ADDRESS_STR_MAX] = {};
    if (event == AVAHI_RESOLVER_FOUND && address != nullptr) {
        avahi_address_snprint(text, sizeof text, address);
    }
    // Not from inside Avahi's callback, which frees the resolver's caller's data.
    const QString found = QString::fromLatin1(text);
    QMetaObject::invokeMethod(
        &resolution->timeout_, [resolution, found] { resolution->finish(found); },
        Qt::QueuedConnection);
}

void AvahiHostNameResolution::finish(const QString &address)
{
    if (!done_) {
        return; // reported already
    }
    timeout_.stop();
    const DNSServiceDiscovery::HostNameResolution done = std::exchange(done_, nullptr);
    done(address);
    QMetaObject::invokeMethod(
        &timeout_, [this] { delete this; }, Qt::QueuedConnection);
}

} // namespace zek
