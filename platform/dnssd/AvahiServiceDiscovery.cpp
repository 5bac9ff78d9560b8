#include "AvahiHostNameResolution.h"
#include "AvahiNames.h"
#include "AvahiNetService.h"
#include "AvahiNetServiceBrowser.h"
#include "NetServiceBrowser.h"

#include <avahi-common/domain.h>

namespace zek {

namespace {

class AvahiServiceDiscovery : public DNSServiceDiscovery {
public:
    std::unique_ptr<NetServiceBrowser> makeBrowser() override
    {
        return std::make_unique<AvahiNetServiceBrowser>();
    }

    std::shared_ptr<NetService> makeService(const QString &domain, const QString &type,
                                            const QString &name, int port) override
    {
        if (port < 0 || port > 65535 || !avahi_is_valid_service_name(name.toUtf8().constData()) ||
            !avahi_is_valid_service_type_generic(
                avahi_names::withoutTrailingDot(type).constData()) ||
            !avahi_is_valid_domain_name(avahi_names::withoutTrailingDot(domain).constData())) {
            return nullptr;
        }
        return std::make_shared<AvahiNetService>(domain, type, name, port);
    }

    void resolveHostName(const QString &hostName, double timeout, HostNameResolution done) override
    {
        AvahiHostNameResolution::start(hostName, timeout, std::move(done));
    }
};

} // namespace

DNSServiceDiscovery &DNSServiceDiscovery::system()
{
    static DNSServiceDiscovery *const discovery = new AvahiServiceDiscovery;
    return *discovery;
}

} // namespace zek
