#pragma once

#include "NetServiceBrowser.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <chrono>
#include <memory>

// A service made by hand: resolution and publication are only recorded, and
// the test decides when and how it resolves.
class FakeNetService : public zek::NetService {
public:
    using NetService::NetService;

    void resolveWithTimeout(double timeout) override { resolveTimeouts.append(timeout); }
    void publish() override { published = true; }
    void stop() override { stopped = true; }

    void resolveAs(const QString &hostName, int port, const QList<QByteArray> &addresses,
                   const QByteArray &txtRecordData = {})
    {
        didResolve(hostName, port, addresses, txtRecordData);
    }

    QList<double> resolveTimeouts;
    bool published = false;
    bool stopped = false;
};

// The IPv4 socket address of a dotted address text, as bytes.
QByteArray ipv4SocketAddress(const char *address, quint16 port = 0);

// One report that a scripted search makes, some time after the search starts.
struct ScriptedReport {
    QString name; // the domain, or the service's name
    bool moreComing = false;
    std::chrono::milliseconds after{0};
};

// A browser that answers each search from a script, from the event loop, and
// records what it was asked ("domains", "services <type> in <domain>", "stop").
class FakeNetServiceBrowser : public zek::NetServiceBrowser {
public:
    void searchForBrowsableDomains() override;
    void searchForServicesOfType(const QString &type, const QString &inDomain) override;
    void stop() override;

    QList<ScriptedReport> domainAnswer;
    QMap<QString, QList<ScriptedReport>> serviceAnswers; // by domain
    QStringList requests;
    // Every service this browser reported, in order.
    QList<std::shared_ptr<FakeNetService>> reported;

private:
    void play(const QList<ScriptedReport> &reports, const QString &type, const QString &domain);

    quint64 generation_ = 0;
    QObject context_;
};

class FakeDNSServiceDiscovery : public zek::DNSServiceDiscovery {
public:
    std::unique_ptr<zek::NetServiceBrowser> makeBrowser() override;
    std::shared_ptr<zek::NetService> makeService(const QString &domain, const QString &type,
                                                 const QString &name, int port) override;
    // Answers from hostAddresses, later; nothing for a name not in it.
    void resolveHostName(const QString &hostName, double timeout, HostNameResolution done) override;

    FakeNetServiceBrowser *browser = nullptr; // the last one made
    QHash<QString, QString> hostAddresses;
    QList<std::shared_ptr<FakeNetService>> services;
};
