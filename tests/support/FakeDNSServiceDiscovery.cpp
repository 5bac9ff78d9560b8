#include "FakeDNSServiceDiscovery.h"

#include <QTimer>
#include <arpa/inet.h>
#include <netinet/in.h>

QByteArray ipv4SocketAddress(const char *address, quint16 port)
{
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    inet_pton(AF_INET, address, &in.sin_addr);
    return QByteArray(reinterpret_cast<const char *>(&in), sizeof in);
}

void FakeNetServiceBrowser::searchForBrowsableDomains()
{
    requests.append(QStringLiteral("domains"));
    play(domainAnswer, QString(), QString());
}

void FakeNetServiceBrowser::searchForServicesOfType(const QString &type, const QString &inDomain)
{
    requests.append(QStringLiteral("services %1 in %2").arg(type, inDomain));
    play(serviceAnswers.value(inDomain), type, inDomain);
}

void FakeNetServiceBrowser::stop()
{
    requests.append(QStringLiteral("stop"));
    ++generation_;
}

void FakeNetServiceBrowser::play(const QList<ScriptedReport> &reports, const QString &type,
                                 const QString &domain)
{
    ++generation_;
    for (const ScriptedReport &report : reports) {
        QTimer::singleShot(
            report.after, &context_, [this, report, type, domain, generation = generation_] {
                if (generation != generation_ || delegate() == nullptr) {
                    return;
                }
                if (type.isNull()) {
                    delegate()->netServiceBrowser(this, report.name, report.moreComing);
                    return;
                }
                auto service = std::make_shared<FakeNetService>(domain, type, report.name);
                reported.append(service);
                delegate()->netServiceBrowser(this, std::shared_ptr<zek::NetService>(service),
                                              report.moreComing);
            });
    }
}

std::unique_ptr<zek::NetServiceBrowser> FakeDNSServiceDiscovery::makeBrowser()
{
    auto made = std::make_unique<FakeNetServiceBrowser>();
    browser = made.get();
    return made;
}

std::shared_ptr<zek::NetService> FakeDNSServiceDiscovery::makeService(const QString &domain,
                                                                      const QString &type,
                                                                      const QString &name, int port)
{
    if (name.isEmpty() || port < 0 || port > 65535) {
        return nullptr;
    }
    auto service = std::make_shared<FakeNetService>(domain, type, name, port);
    services.append(service);
    return service;
}

void FakeDNSServiceDiscovery::resolveHostName(const QString &hostName, double,
                                              HostNameResolution done)
{
    const QString address = hostAddresses.value(hostName);
    QTimer::singleShot(0, [done = std::move(done), address] { done(address); });
}
