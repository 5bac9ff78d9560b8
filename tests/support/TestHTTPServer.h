#pragma once

#include "BackgroundProcess.h"

#include <QByteArrayList>
#include <QString>

// The local test server (http-test-server.py, whose paths choose what it does) on 127.0.0.1 at a
// port of its own, over HTTP, or over HTTPS with a certificate chain and its key. It ends with
// this object. Making one clears the proxies the environment names, for the whole test process:
// exchanges with it must not go elsewhere.
class TestHTTPServer {
public:
    TestHTTPServer();
    TestHTTPServer(const QString &chainPath, const QString &keyPath);

    // 0 when the server did not come up.
    quint16 port() const { return port_; }
    // The URL of path (which starts with "/") on this server.
    QString URL(const QString &path) const;
    // One "REQUEST <method> <path> <body length> <body sha256>" line per request whose head the
    // server has read, once there are atLeast of them or 10 seconds have passed.
    QByteArrayList requests(qsizetype atLeast = 0);
    // Whether the server prints text (such as "HANDSHAKE-FAILED") within 10 seconds.
    bool waitForOutput(const QByteArray &text) { return process_.waitForOutput(text, 10000); }

private:
    BackgroundProcess process_;
    QString scheme_;
    quint16 port_;
};

// A port on 127.0.0.1 that is bound but not listening, so connecting to it is refused; held for
// as long as this lives. Making one clears the environment's proxies too.
class ClosedPort {
public:
    ClosedPort();
    ~ClosedPort();
    ClosedPort(const ClosedPort &) = delete;
    ClosedPort &operator=(const ClosedPort &) = delete;

    quint16 port() const { return port_; }

private:
    int socket_;
    quint16 port_ = 0;
};
