#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QString>
#include <memory>

namespace zek {

class NetService;

// Hears how a resolution went. Called on the main thread.
class NetServiceDelegate {
public:
    virtual ~NetServiceDelegate() = default;

    // netServiceDidResolveAddress: the service now has its host name, port,
    // addresses and TXT record.
    virtual void netServiceDidResolveAddress(NetService *sender) = 0;
};

// One DNS-SD service: found by a browser (name, type and domain known, the
// rest after resolving) or made for publication (with a port). Names of types
// and domains end in a dot ("_http._tcp.", "local."), as do host names
// ("hosta.local.").
class NetService {
public:
    // initWithDomain:type:name:port: (port -1: not known yet)
    NetService(QString domain, QString type, QString name, int port = -1);
    virtual ~NetService();
    NetService(const NetService &) = delete;
    NetService &operator=(const NetService &) = delete;

    QString name() const { return name_; }
    QString type() const { return type_; }
    QString domain() const { return domain_; }
    // Null until resolved.
    QString hostName() const { return hostName_; }
    // -1 until resolved (or given for publication).
    int port() const { return port_; }
    // Socket addresses (struct sockaddr_in, then sockaddr_in6, as bytes), IPv4
    // ones first; empty until resolved.
    QList<QByteArray> addresses() const { return addresses_; }
    // The TXT record as it travels (length-prefixed strings); null until resolved.
    QByteArray TXTRecordData() const { return TXTRecordData_; }

    // Unretained: the delegate must outlive the service or be reset first.
    void setDelegate(NetServiceDelegate *delegate) { delegate_ = delegate; }
    NetServiceDelegate *delegate() const { return delegate_; }

    // Looks the service up for at most timeout seconds; the delegate hears of
    // it when it has addresses, and nothing when the time runs out.
    virtual void resolveWithTimeout(double timeout) = 0;
    // Announces the service on the network; trouble goes to the system log.
    virtual void publish() = 0;
    // Ends a resolution or a publication.
    virtual void stop() = 0;

    // The TXT record's keys and their raw values. A key without "=" maps to a
    // null value; the first of repeated keys counts; a malformed tail is
    // ignored.
    static QMap<QString, QByteArray> dictionaryFromTXTRecordData(const QByteArray &txtData);

protected:
    // What a resolution found, then the delegate is told.
    void didResolve(const QString &hostName, int port, const QList<QByteArray> &addresses,
                    const QByteArray &txtRecordData);

private:
    QString domain_;
    QString type_;
    QString name_;
    int port_;
    QString hostName_;
    QList<QByteArray> addresses_;
    QByteArray TXTRecordData_;
    NetServiceDelegate *delegate_ = nullptr;
};

} // namespace zek

Q_DECLARE_METATYPE(std::shared_ptr<zek::NetService>)
