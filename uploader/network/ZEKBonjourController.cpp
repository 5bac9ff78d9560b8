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

QString namesOf(const ZEKBonjourController::Services &services)
{
    QStringList names;
    for (const auto &service : services) {
        // A published name is anybody's: it must not forge log lines.
        names.append(zek::escapeControlCharacters(service->name()));
    }
    return names.join(u", "_s);
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
    : discovery_(discovery), serviceBrowser_(discovery.makeBrowser())
{
    serviceBrowser_->setDelegate(this);
    searchTimeout_.setSingleShot(true);
    searchTimeout_.setInterval(searchTimeout);
    QObject::connect(&searchTimeout_, &QTimer::timeout, [this] { searchTimedOut(); });
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
    search_ = Search::Domains;
    searchTimeout_.start();
    domainFoundClosure_ = std::move(completion);
    domains_.clear();
    ZEKLog::sharedLog().log(u"Starting Domains searching"_s);
    serviceBrowser_->searchForBrowsableDomains();
}

void ZEKBonjourController::findServicesOfType(const QString &type, const QString &inDomain,
                                              ServicesCompletion withCompletion)
{
    if (isSearching()) {
        return;
    }
    search_ = Search::Services;
    searchTimeout_.start();
    serviceFoundClosure_ = std::move(withCompletion);
    services_.clear();
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
    if (search_ != Search::Domains) {
        return;
    }
    // Every report gives the search another full timeout: a batch that falls
    // silent after "more coming" still ends, with what it found.
    searchTimeout_.start();
    domains_.append(didFindDomain);
    if (!moreComing) {
        finishDomainSearch();
    }
}

void ZEKBonjourController::netServiceBrowser(zek::NetServiceBrowser *,
                                             const std::shared_ptr<zek::NetService> &didFindService,
                                             bool moreComing)
{
    if (search_ != Search::Services) {
        return;
    }
    searchTimeout_.start();
    services_.append(didFindService);
    if (!moreComing) {
        finishServiceSearch();
    }
}

void ZEKBonjourController::searchTimedOut()
{
    const bool nothingFound = search_ == Search::Domains ? domains_.isEmpty() : services_.isEmpty();
    if (nothingFound) {
        ZEKLog::sharedLog().log(search_ == Search::Domains ? u"No Domains found by timeout"_s
                                                           : u"No Services found by timeout"_s);
    }
    if (search_ == Search::Domains) {
        finishDomainSearch();
    } else if (search_ == Search::Services) {
        finishServiceSearch();
    }
}

void ZEKBonjourController::finishDomainSearch()
{
    searchTimeout_.stop();
    if (!domains_.isEmpty()) {
        ZEKLog::sharedLog().log(
            u"Domains did found: [%1]"_s.arg(zek::escapeControlCharacters(domains_.join(u", "_s))));
    }
    serviceBrowser_->stop();
    search_ = Search::None;
    // The completion may start the next search at once, which clears the list.
    const QStringList found = domains_;
    if (auto completion = std::exchange(domainFoundClosure_, nullptr)) {
        completion(found);
    }
}

void ZEKBonjourController::finishServiceSearch()
{
    searchTimeout_.stop();
    if (!services_.isEmpty()) {
        ZEKLog::sharedLog().log(u"Services did found: [%1]"_s.arg(namesOf(services_)));
    }
    serviceBrowser_->stop();
    search_ = Search::None;
    const Services found = services_;
    if (auto completion = std::exchange(serviceFoundClosure_, nullptr)) {
        completion(found);
    }
}
