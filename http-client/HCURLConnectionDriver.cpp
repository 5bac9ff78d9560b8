#include "HCURLConnectionDriver.h"

#include "HCURLConnection.h"

#include <QTimer>
#include <algorithm>
#include <climits>

namespace {

// The notifiers of one socket; curl keeps a pointer to it for us.
struct SocketWatch {
    QSocketNotifier *read = nullptr;
    QSocketNotifier *write = nullptr;
};

} // namespace

HCURLConnectionDriver &HCURLConnectionDriver::shared()
{
    static HCURLConnectionDriver *const driver = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        return new HCURLConnectionDriver;
    }();
    return *driver;
}

HCURLConnectionDriver::HCURLConnectionDriver() : timer_(new QTimer(this))
{
    multi_ = curl_multi_init();
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &HCURLConnectionDriver::socketCallback);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &HCURLConnectionDriver::timerCallback);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
}

void HCURLConnectionDriver::add(CURL *easy, std::shared_ptr<HCURLConnection> connection)
{
    running_[easy] = std::move(connection);
    curl_multi_add_handle(multi_, easy);
}

void HCURLConnectionDriver::remove(CURL *easy)
{
    curl_multi_remove_handle(multi_, easy);
    running_.erase(easy);
}

int HCURLConnectionDriver::socketCallback(CURL *, curl_socket_t socket, int what,
                                          void *driverPointer, void *watchPointer)
{
    auto *driver = static_cast<HCURLConnectionDriver *>(driverPointer);
    auto *watch = static_cast<SocketWatch *>(watchPointer);
    if (what == CURL_POLL_REMOVE) {
        if (watch) {
            driver->watchFor(watch->read, socket, QSocketNotifier::Read, false);
            driver->watchFor(watch->write, socket, QSocketNotifier::Write, false);
            delete watch;
            curl_multi_assign(driver->multi_, socket, nullptr);
        }
        return 0;
    }
    if (!watch) {
        watch = new SocketWatch;
        curl_multi_assign(driver->multi_, socket, watch);
    }
    driver->watchFor(watch->read, socket, QSocketNotifier::Read, what & CURL_POLL_IN);
    driver->watchFor(watch->write, socket, QSocketNotifier::Write, what & CURL_POLL_OUT);
    return 0;
}

// Notifiers are let go of later: this may run inside one of their signals.
void HCURLConnectionDriver::watchFor(QSocketNotifier *&notifier, curl_socket_t socket,
                                     QSocketNotifier::Type type, bool wanted)
{
    if (!wanted) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
            notifier = nullptr;
        }
        return;
    }
    if (notifier) {
        return;
    }
    notifier = new QSocketNotifier(socket, type, this);
    const int flag = type == QSocketNotifier::Read ? CURL_CSELECT_IN : CURL_CSELECT_OUT;
    connect(notifier, &QSocketNotifier::activated, this,
            [this, socket, flag] { act(socket, flag); });
}

int HCURLConnectionDriver::timerCallback(CURLM *, long timeoutMs, void *driverPointer)
{
    auto *driver = static_cast<HCURLConnectionDriver *>(driverPointer);
    if (timeoutMs < 0) {
        driver->timer_->stop();
    } else {
        driver->timer_->start(int(std::min<long>(timeoutMs, INT_MAX)));
    }
    return 0;
}

void HCURLConnectionDriver::act(curl_socket_t socket, int flags)
{
    int running = 0;
    curl_multi_socket_action(multi_, socket, flags, &running);
    while (true) {
        int queued = 0;
        CURLMsg *message = curl_multi_info_read(multi_, &queued);
        if (!message) {
            break;
        }
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        // The message is gone once the handle is removed.
        CURL *easy = message->easy_handle;
        const CURLcode result = message->data.result;
        const auto found = running_.find(easy);
        if (found != running_.end()) {
            const std::shared_ptr<HCURLConnection> connection = found->second;
            connection->transferDone(result);
        }
    }
}
