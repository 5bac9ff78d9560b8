#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <curl/curl.h>
#include <map>
#include <memory>

class QTimer;
class HCURLConnection;

// curl's multi handle and everything that drives it on the network thread: a
// socket notifier per socket direction curl waits on, and one timer for curl's
// own timeouts. When a transfer ends, its connection hears of it
// (transferDone) with curl's result.
//
// Lives on the network thread and is used only there.
class HCURLConnectionDriver : public QObject {
public:
    // Made on first use, which sets curl up: this must come before the first
    // easy handle is made. Never freed: a running upload must not be torn
    // down at exit.
    static HCURLConnectionDriver &shared();

    // Runs easy's transfer for connection, which is kept alive until remove().
    void add(CURL *easy, std::shared_ptr<HCURLConnection> connection);
    // Stops easy's transfer, ended or not; the handle stays the caller's.
    void remove(CURL *easy);

private:
    HCURLConnectionDriver();

    static int socketCallback(CURL *easy, curl_socket_t socket, int what, void *driverPointer,
                              void *watchPointer);
    static int timerCallback(CURLM *multi, long timeoutMs, void *driverPointer);
    void watchFor(QSocketNotifier *&notifier, curl_socket_t socket, QSocketNotifier::Type type,
                  bool wanted);
    // Lets curl act on socket (CURL_SOCKET_TIMEOUT: on its timeouts), then
    // hands each transfer that ended to its connection.
    void act(curl_socket_t socket, int flags);

    QTimer *timer_;
    CURLM *multi_ = nullptr;
    // The connections curl is working for, kept alive while it does.
    std::map<CURL *, std::shared_ptr<HCURLConnection>> running_;
};
