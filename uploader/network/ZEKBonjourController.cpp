#include "ZEKBonjourController.h"

#include "FileNames.h"
#include "ZEKLog.h"

#include <limits>

using namespace Qt::StringLiterals;

const QString Hypertext_Transfer = u"_http._tcp."_s;

namespace {

// Searches the remaining domains one after the other, last first, and
// collects what each finds. It lives as long as a search of the chain is
// under way, and no longer.
class DomainChain : public std::enable_shared_from_this<DomainChain> {
public:
    DomainChain(std::weak_ptr<ZEKBonjourController> controller, QString type, QStringList domains,
                ZEKBonjourController::ServicesCompletion completion)
        : controller_(std::move(controller)), type_(std::move(type)),
          remaining_(std::move(domains)), completion_(std::move(completion))
    {}

    void searchNext()
    {
        if (remaining_.isEmpty()) {
            if (auto completion = std::exchange(completion_, nullptr)) {
                completion(collected_);
            }
            return;
        }
        if (auto controller = controller_.lock()) {
            controller->findServicesOfType(
                type_, remaining_.last(),
                [self = shared_from_this()](const ZEKBonjourController::Services &services) {
                    self->remaining_.removeLast();
                    self->collected_.append(services);
                    self->searchNext();
                });
        }
    }

private:
    std::weak_ptr<ZEKBonjourController> controller_;
    QString type_;
    QStringList remaining_;
    ZEKBonjourController::Services collected_;
    ZEKBonjourController::ServicesCompletion completion_;
};

QString domainsFoundLine(const QStringList &domains)
{
    return u"Domains did found: [%1]"_s.arg(zek::escapeControlCharacters(domains.join(u", "_s)));
}

QString servicesFoundLine(const ZEKBonjourController::Services &services)
{
    QStringList names;
    for (const auto &service : services) {
        // A published name is anybody's: it must not forge log lines.
        names.append(zek::escapeControlCharacters(service->name()));
    }
    return u"Services did found: [%1]"_s.arg(names.join(u", "_s));
}

} // namespace

std::shared_ptr<ZEKBonjourController>
ZEKBonjourController::create(zek::DNSServiceDiscovery &discovery,
                             std::chrono::milliseconds searchTimeout)
{
    return std::shared_ptr<ZEKBonjourController>(
        new ZEKBonjourController(discovery, searchTimeout));
}

ZEKBonjourController::ZEKBonjourController(zek::DNSServiceDiscovery &discovery,
                                           std::chrono::milliseconds searchTimeout)
    : discovery_(discovery), serviceBrowser_(discovery.makeBrowser()),
      domainSearch_(*serviceBrowser_, searchTimeout, u"No Domains found by timeout"_s,
                    domainsFoundLine),
      serviceSearch_(*serviceBrowser_, searchTimeout, u"No Services found by timeout"_s,
                     servicesFoundLine)
{
    serviceBrowser_->setDelegate(this);
}

ZEKBonjourController::~ZEKBonjourController()
{
    serviceBrowser_->setDelegate(nullptr);
}

void ZEKBonjourController::findDomainsWithCompletion(DomainsCompletion completion)
{
    if (isSearching()) {
        return;
    }
    domainSearch_.start(std::move(completion));
    ZEKLog::sharedLog().log(u"Starting Domains searching"_s);
    serviceBrowser_->searchForBrowsableDomains();
}

void ZEKBonjourController::findServicesOfType(const QString &type, const QString &inDomain,
                                              ServicesCompletion withCompletion)
{
    if (isSearching()) {
        return;
    }
    serviceSearch_.start(std::move(withCompletion));
    ZEKLog::sharedLog().log(
        u"Starting Services searching of type '%1' in domain '%2'"_s.arg(type, inDomain));
    serviceBrowser_->searchForServicesOfType(type, inDomain);
}

void ZEKBonjourController::findServicesOfType(const QString &type, DomainsFilter inDomainsFiltered,
                                              ServicesCompletion withCompletion)
{
    findDomainsWithCompletion([weakSelf = weak_from_this(), type,
                               filter = std::move(inDomainsFiltered),
                               completion = std::move(withCompletion)](const QStringList &found) {
        if (weakSelf.expired()) {
            return;
        }
        std::make_shared<DomainChain>(weakSelf, type, filter(found), completion)->searchNext();
    });
}

void ZEKBonjourController::registerTestServiceWithName(const QString &name, long onPort)
{
    if (!testServices_) {
        testServices_.emplace();
    }
    ZEKLog::sharedLog().log(u"Registering test service: (%1:%2)"_s.arg(name).arg(onPort));
    const bool portFits =
        onPort >= std::numeric_limits<int>::min() && onPort <= std::numeric_limits<int>::max();
    auto service = portFits ? discovery_.makeService(u"local."_s, Hypertext_Transfer, name,
                                                     static_cast<int>(onPort))
                            : nullptr;
    if (!service) {
        ZEKLog::sharedLog().log(u"An error occurred initializing the NSNetService object"_s);
        return;
    }
    service->publish();
    testServices_->append(service);
    ZEKLog::sharedLog().log(u"Test service registered"_s);
}

void ZEKBonjourController::unregisterTestService()
{
    for (const auto &service : testServices_.value_or(Services{})) {
        service->stop();
    }
    testServices_.reset();
    ZEKLog::sharedLog().log(u"Test service unregistered"_s);
}

void ZEKBonjourController::netServiceBrowser(zek::NetServiceBrowser *, const QString &didFindDomain,
                                             bool moreComing)
{
    domainSearch_.report(didFindDomain, moreComing);
}

void ZEKBonjourController::netServiceBrowser(zek::NetServiceBrowser *,
                                             const std::shared_ptr<zek::NetService> &didFindService,
                                             bool moreComing)
{
    serviceSearch_.report(didFindService, moreComing);
}
