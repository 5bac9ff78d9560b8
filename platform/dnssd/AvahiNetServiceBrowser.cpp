#include "AvahiNetServiceBrowser.h"

#include "AvahiNames.h"

#include <QTimer>

namespace zek {

using avahi_names::withoutTrailingDot;
using avahi_names::withTrailingDot;

namespace {

const QString kLocalDomain = QStringLiteral("local.");

} // namespace

AvahiNetServiceBrowser::AvahiNetServiceBrowser()
    : lossToken_(AvahiConnection::shared().onLoss([this] {
          // Keep what the batch found so far; nothing more will come.
          freeHandles();
          endBatchLater();
      }))
{}

AvahiNetServiceBrowser::~AvahiNetServiceBrowser()
{
    freeHandles();
    AvahiConnection::shared().removeLossHandler(lossToken_);
}

void AvahiNetServiceBrowser::searchForBrowsableDomains()
{
    stop();
    pendingDomains_ = seenDomains_ = {kLocalDomain};
    if (AvahiClient *client = AvahiConnection::shared().client()) {
        domainBrowser_ = avahi_domain_browser_new(
            client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, nullptr, AVAHI_DOMAIN_BROWSER_BROWSE,
            AvahiLookupFlags(0), &AvahiNetServiceBrowser::domainEvent, this);
    }
    if (domainBrowser_ == nullptr) {
        endBatchLater();
    }
}

void AvahiNetServiceBrowser::searchForServicesOfType(const QString &type, const QString &inDomain)
{
    stop();
    serviceType_ = type;
    AvahiClient *client = AvahiConnection::shared().client();
    if (client == nullptr) {
        return; // nothing to find; the caller's timeout ends the search
    }
    serviceBrowser_ = avahi_service_browser_new(
        client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, withoutTrailingDot(type).constData(),
        withoutTrailingDot(inDomain).constData(), AvahiLookupFlags(0),
        &AvahiNetServiceBrowser::serviceEvent, this);
}

void AvahiNetServiceBrowser::stop()
{
    freeHandles();
    ++generation_;
    seenDomains_.clear();
    pendingDomains_.clear();
    seenServices_.clear();
    pendingServices_.clear();
    batchEnded_ = false;
}

void AvahiNetServiceBrowser::domainEvent(AvahiDomainBrowser *, AvahiIfIndex, AvahiProtocol,
                                         AvahiBrowserEvent event, const char *domain,
                                         AvahiLookupResultFlags, void *userdata)
{
    auto *browser = static_cast<AvahiNetServiceBrowser *>(userdata);
    browser->browserEvent(event, [&] { browser->foundDomain(withTrailingDot(domain)); });
}

void AvahiNetServiceBrowser::serviceEvent(AvahiServiceBrowser *, AvahiIfIndex interface,
                                          AvahiProtocol protocol, AvahiBrowserEvent event,
                                          const char *name, const char *type, const char *domain,
                                          AvahiLookupResultFlags, void *userdata)
{
    auto *browser = static_cast<AvahiNetServiceBrowser *>(userdata);
    browser->browserEvent(event,
                          [&] { browser->foundService(interface, protocol, name, type, domain); });
}

void AvahiNetServiceBrowser::browserEvent(AvahiBrowserEvent event,
                                          const std::function<void()> &found)
{
    switch (event) {
    case AVAHI_BROWSER_NEW:
        found();
        break;
    case AVAHI_BROWSER_ALL_FOR_NOW:
        endBatch();
        break;
    case AVAHI_BROWSER_FAILURE:
        freeHandles();
        endBatchLater();
        break;
    default:
        break;
    }
}

void AvahiNetServiceBrowser::foundDomain(const QString &domain)
{
    if (seenDomains_.contains(domain, Qt::CaseInsensitive)) {
        return;
    }
    seenDomains_.append(domain);
    pendingDomains_.append(domain);
    if (batchEnded_) {
        endBatch();
    }
}

void AvahiNetServiceBrowser::foundService(AvahiIfIndex interface, AvahiProtocol protocol,
                                          const char *name, const char *type, const char *domain)
{
    const QString serviceName = QString::fromUtf8(name);
    const QString serviceDomain = withTrailingDot(domain);
    for (const auto &seen : std::as_const(seenServices_)) {
        if (seen->name() == serviceName &&
            seen->domain().compare(serviceDomain, Qt::CaseInsensitive) == 0) {
            // The same service on another interface or protocol.
            seen->addBrowsePath(interface, protocol);
            return;
        }
    }
    auto service = std::make_shared<AvahiNetService>(serviceDomain, serviceType_, serviceName, -1,
                                                     QByteArray(type), QByteArray(domain));
    service->addBrowsePath(interface, protocol);
    seenServices_.append(service);
    pendingServices_.append(service);
    if (batchEnded_) {
        endBatch();
    }
}

void AvahiNetServiceBrowser::endBatch()
{
    batchEnded_ = true;
    const std::uint64_t generation = generation_;
    const QStringList domains = std::exchange(pendingDomains_, {});
    const auto services = std::exchange(pendingServices_, {});
    // The delegate may stop the browser or start another search while told.
    for (qsizetype i = 0; i < domains.size() && generation == generation_; ++i) {
        if (delegate() != nullptr) {
            delegate()->netServiceBrowser(this, domains.at(i), i + 1 < domains.size());
        }
    }
    for (qsizetype i = 0; i < services.size() && generation == generation_; ++i) {
        if (delegate() != nullptr) {
            delegate()->netServiceBrowser(this, std::shared_ptr<NetService>(services.at(i)),
                                          i + 1 < services.size());
        }
    }
}

void AvahiNetServiceBrowser::endBatchLater()
{
    QTimer::singleShot(0, &context_, [this, generation = generation_] {
        if (generation == generation_) {
            endBatch();
        }
    });
}

void AvahiNetServiceBrowser::freeHandles()
{
    if (domainBrowser_ != nullptr) {
        avahi_domain_browser_free(domainBrowser_);
        domainBrowser_ = nullptr;
    }
    if (serviceBrowser_ != nullptr) {
        avahi_service_browser_free(serviceBrowser_);
        serviceBrowser_ = nullptr;
    }
}

} // namespace zek
