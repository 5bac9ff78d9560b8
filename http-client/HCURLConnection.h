#pragma once

#include "Error.h"
#include "HCHTTPURLResponse.h"
#include "HCURLRequest.h"
#include "ServerTrust.h"

#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>

class QThread;
class HCURLConnection;

// What a connection reports, every call on the network thread. After
// connectionDidFinishLoading or connectionDidFail nothing more comes.
class HCURLConnectionDelegate {
public:
    virtual ~HCURLConnectionDelegate() = default;

    // The TLS server's chain and the host it was asked for: true trusts it. A
    // NO ends the handshake before any byte of the request is sent, and the
    // connection fails with NSURLErrorServerCertificateUntrusted. Asked once
    // per handshake; every HTTPS request has a handshake of its own.
    virtual bool connectionShouldTrustServer(HCURLConnection &connection, zek::ServerTrust &trust,
                                             const QString &host) = 0;
    // The head of the final reply (redirects that are followed are reported
    // by connectionWillFollowRedirect instead), before any of its body.
    virtual void connectionDidReceiveResponse(HCURLConnection &connection,
                                              const HCHTTPURLResponse &response) = 0;
    // A redirect about to be followed: where the request goes next and the
    // redirect's head. Not called for a redirect that is refused or is taken
    // as the reply.
    virtual void connectionWillFollowRedirect(HCURLConnection & /*connection*/,
                                              const QUrl & /*URL*/,
                                              const HCHTTPURLResponse & /*redirectResponse*/)
    {}
    // Body bytes in the order they arrive.
    virtual void connectionDidReceiveData(HCURLConnection &connection, const QByteArray &data) = 0;
    // Progress of the request body: bytes sent since the last call, in all,
    // and the length expected (-1 when unknown). Counts start over when a
    // redirect sends the body again.
    virtual void connectionDidSendBodyData(HCURLConnection & /*connection*/,
                                           qint64 /*bytesWritten*/, qint64 /*totalBytesWritten*/,
                                           qint64 /*totalBytesExpectedToWrite*/)
    {}
    virtual void connectionDidFinishLoading(HCURLConnection &connection) = 0;
    // error is in NSURLErrorDomain with the failing URL in its user
    // information, or is the body stream's own error when reading it failed.
    virtual void connectionDidFail(HCURLConnection &connection, const zek::Error &error) = 0;
};

// One HTTP exchange on the shared network thread, over libcurl: sends the
// request (method, header fields, body in memory or read from its body stream
// as it goes, never whole) and reports the reply to its delegate.
//
// - The request's timeoutInterval is an idle timeout: when no byte moves for
//   that long, the connection attempt included, the exchange fails with
//   NSURLErrorTimedOut.
// - Redirects (301, 302, 307, 308) to http or https are followed with the
//   same method and the whole body again, the body from a fresh copy of a
//   multipart body stream (a body stream of another kind cannot be sent
//   twice, so its redirect is reported as the reply). A 303 is followed with
//   a GET (HEAD stays HEAD) without the body or its Content- header fields,
//   and so is every redirect after it. The sixth redirect fails with
//   NSURLErrorHTTPTooManyRedirects.
// - A redirect from https to http that would send the body is not followed:
//   the exchange fails with NSURLErrorSecureConnectionFailed, whose
//   description names both URLs. After a 303 the request has been handled and
//   carries no body any more, so it may go on in clear.
// - Once a redirect has left the request's origin (scheme, host and port),
//   the Authorization and Cookie header fields are no longer sent.
// - A server that answers with something other than HTTP fails the exchange
//   with NSURLErrorBadServerResponse.
// - A reply body over maximumReplyLength fails with
//   NSURLErrorDataLengthExceedsMaximum.
// - HTTPS is judged by the delegate alone (connectionShouldTrustServer);
//   connections and TLS sessions are never reused for it, so every request
//   is judged.
// - A request whose method is not idempotent (POST, PATCH, any unknown one)
//   has a connection of its own, so a connection lost before the reply fails
//   it (NSURLErrorNetworkConnectionLost) and it is never sent twice.
// - No "Expect: 100-continue"; Content-Length comes from the request's own
//   header field, and without one a body stream is sent chunked.
// - Of the request's other settings none has a meaning here: there is no
//   cache, no cookie store and no pipelining.
//
// The network thread holds the connection (and, until the end, its
// delegate) while the exchange runs, so the caller may let go of both.
class HCURLConnection : public std::enable_shared_from_this<HCURLConnection> {
public:
    static constexpr qint64 maximumReplyLength = qint64(64) << 20;

    // Nothing is sent before start().
    static std::shared_ptr<HCURLConnection>
    connectionWithRequest(HCURLRequest request, std::shared_ptr<HCURLConnectionDelegate> delegate);
    HCURLConnection(const HCURLConnection &) = delete;
    HCURLConnection &operator=(const HCURLConnection &) = delete;
    ~HCURLConnection();

    // The thread every connection runs on, with its own event loop: made and
    // started on first use, and never stopped or freed, so that the
    // application can quit while an upload runs.
    static QThread *networkRequestThread();

    const HCURLRequest &originalRequest() const { return request_; }

    // Both callable from any thread; they hand the work to the network thread
    // and return at once, and so does cancel() on the network thread itself,
    // where it acts at once. A second start() does nothing.
    void start();
    // Stops the exchange; unless it has already ended, the delegate then gets
    // connectionDidFail with NSURLErrorCancelled as its last call. After a
    // cancel() before start(), start() sends nothing.
    void cancel();

private:
    friend class HCURLConnectionDriver;
    friend struct HCURLConnectionCallbacks;
    struct Exchange;

    HCURLConnection(HCURLRequest request, std::shared_ptr<HCURLConnectionDelegate> delegate);

    // All on the network thread.
    void startNow();
    void cancelNow();
    void beginExchange(const QUrl &URL, std::shared_ptr<zek::InputStream> bodyStream);
    void endExchange();
    void transferDone(int curlResult);
    void checkIdle();
    void fail(const zek::Error &error);
    void finish();
    // With the code's own description when description is null.
    zek::Error URLError(qint64 code, const QString &description = QString()) const;

    // curl's and OpenSSL's callbacks land here.
    size_t receiveHeader(const char *data, size_t length);
    size_t receiveData(const char *data, size_t length);
    size_t readBody(char *buffer, size_t length);
    bool rewindBody();
    bool progress(qint64 downloaded, qint64 uploaded);
    // The server's chain, judged by the delegate.
    bool trustServer(zek::ServerTrust &trust);
    void headEnded();
    // Where a reply head sends the request next, when it is a redirect this
    // transport can follow; otherwise the head is the reply.
    std::optional<QUrl> redirectTarget(const HCHTTPURLResponse &response) const;
    // Has the attempt go on at target once it ends, or fail where the redirect
    // is refused.
    void takeRedirect(const HCHTTPURLResponse &response, const QUrl &target);

    HCURLRequest request_;
    std::shared_ptr<HCURLConnectionDelegate> delegate_;
    // The attempt in progress: the request, then one per redirect followed.
    std::unique_ptr<Exchange> exchange_;
    int redirects_ = 0;
    // What the redirects followed so far changed for the next attempt.
    QByteArray method_;
    bool bodyDropped_ = false;
    bool credentialsDropped_ = false;
    // How deep the network thread is in curl's callbacks of this connection,
    // where curl must not be called back.
    int inCallback_ = 0;
    bool started_ = false;
    bool ended_ = false;
};
