#include "TestHTTPServer.h"

#include <QDeadlineTimer>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

void clearProxies()
{
    static const bool cleared = [] {
        for (const char *name :
             {"http_proxy", "https_proxy", "all_proxy", "HTTPS_PROXY", "ALL_PROXY"}) {
            qunsetenv(name);
        }
        return true;
    }();
    (void)cleared;
}

QStringList serverArguments(const QString &chainPath, const QString &keyPath)
{
    clearProxies();
    QStringList arguments{QStringLiteral(ZEK_HTTP_TEST_SERVER)};
    if (!chainPath.isEmpty()) {
        arguments << u"--cert"_s << chainPath << u"--key"_s << keyPath;
    }
    return arguments;
}

} // namespace

TestHTTPServer::TestHTTPServer() : TestHTTPServer(QString(), QString()) {}

TestHTTPServer::TestHTTPServer(const QString &chainPath, const QString &keyPath)
    : process_(QStringLiteral(ZEK_PYTHON3), serverArguments(chainPath, keyPath)),
      scheme_(chainPath.isEmpty() ? u"http"_s : u"https"_s), port_(process_.announcedPort())
{}

QString TestHTTPServer::URL(const QString &path) const
{
    return u"%1://127.0.0.1:%2%3"_s.arg(scheme_).arg(port_).arg(path);
}

QByteArrayList TestHTTPServer::requests(qsizetype atLeast)
{
    const QDeadlineTimer deadline(10000);
    process_.readMore(0);
    while (true) {
        // Only whole lines: the server may be in the middle of one.
        const QByteArray &output = process_.output();
        QByteArrayList lines;
        for (const QByteArray &line : output.first(output.lastIndexOf('\n') + 1).split('\n')) {
            if (line.startsWith("REQUEST ")) {
                lines.append(line);
            }
        }
        if (lines.size() >= atLeast || deadline.hasExpired()) {
            return lines;
        }
        process_.readMore(100);
    }
}

ClosedPort::ClosedPort() : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    clearProxies();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::getsockname(socket_, reinterpret_cast<sockaddr *>(&address), &length);
    port_ = ntohs(address.sin_port);
}

ClosedPort::~ClosedPort()
{
    ::close(socket_);
}
