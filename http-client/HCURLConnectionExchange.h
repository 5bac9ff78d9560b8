#pragma once

#include "HCTLSServerCheck.h"
#include "HCURLConnection.h"

#include <QList>
#include <chrono>
#include <curl/curl.h>
#include <functional>
#include <optional>

class QTimer;

// One attempt of a connection's exchange (the request, then one per redirect
// followed): curl's easy handle, set up step by step from the request, and
// what the attempt has seen of the reply so far. Lives on the network thread;
// it must be out of the driver before it is destroyed, which frees the handle
// and closes the body stream.
struct HCURLConnection::Exchange {
    // curl's callbacks go to connection.
    Exchange(HCURLConnection &connection, const QUrl &URL, const QByteArray &method);
    ~Exchange();
    Exchange(const Exchange &) = delete;
    Exchange &operator=(const Exchange &) = delete;

    // The setup, in this order, before the driver runs the handle.

    // The URL over HTTP/1.1, with no redirects of curl's own; the request's own
    // host at the request's hostAddress when it names one.
    void aim(const HCURLRequest &request);
    // Reply head and body, and progress, to the connection.
    void reportToConnection();
    // Over HTTPS the connection judges the server (no session is resumed,
    // which would skip the judge), and HTTPS or a method that must not be
    // repeated has a connection of its own.
    void isolate();
    // The request's header fields, less those left out once the body is
    // dropped (its Content- fields) or the origin left (credentials).
    void addHeaderFields(const HCURLRequest &request, bool bodyDropped, bool credentialsDropped);
    // bodyStream, read as it goes, or else the request's body in memory unless
    // it is dropped.
    void attachBody(const HCURLRequest &request, std::shared_ptr<zek::InputStream> bodyStream,
                    bool bodyDropped);
    // With a timeoutInterval, check runs a few times per interval.
    void watchIdle(double timeoutInterval, std::function<void()> check);

    // A byte moved: the idle time starts over.
    void moved() { lastActivity = std::chrono::steady_clock::now(); }
    bool idleTooLong() const;

    HCURLConnection &connection;
    CURL *easy = nullptr;
    curl_slist *headerList = nullptr;
    curl_slist *resolveList = nullptr;
    QUrl URL;
    QByteArray URLText;
    QByteArray method;
    std::shared_ptr<zek::InputStream> bodyStream;
    bool bodyRead = false;
    qint64 bodyLength = -1;

    // The reply head as it comes in.
    QList<std::pair<QString, QString>> headerFields;
    bool headDelivered = false;
    // A redirect to follow once this transfer has ended, and its head.
    std::optional<QUrl> redirectTo;
    std::optional<HCHTTPURLResponse> redirectResponse;
    bool seeOther = false;
    qint64 received = 0;
    qint64 uploaded = 0;
    qint64 downloaded = 0;
    // A failure decided in a callback, which then makes curl stop.
    std::optional<zek::Error> error;

    // The idle timeout.
    QTimer *idleTimer = nullptr;
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
    std::chrono::milliseconds idleLimit{0};

    // Over HTTPS, the handshake's judge.
    std::unique_ptr<HCTLSServerCheck> serverCheck;
};
