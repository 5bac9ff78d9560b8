#include "AvahiConnection.h"

#include "AvahiQtPoll.h"
#include "SystemLog.h"

#include <QTimer>
#include <avahi-common/error.h>
#include <string>

namespace zek {

AvahiConnection &AvahiConnection::shared()
{
    static AvahiConnection *const connection = new AvahiConnection;
    return *connection;
}

AvahiClient *AvahiConnection::client()
{
    if (client_ == nullptr) {
        int error = 0;
        // stateChanged runs inside avahi_client_new already, before client_ is set.
        AvahiClient *client = avahi_client_new(avahiQtPoll(), AvahiClientFlags(0),
                                               &AvahiConnection::stateChanged, this, &error);
        if (client == nullptr) {
            reportUnavailable(error);
            return nullptr;
        }
        if (avahi_client_get_state(client) == AVAHI_CLIENT_FAILURE) {
            reportUnavailable(avahi_client_errno(client));
            avahi_client_free(client);
            return nullptr;
        }
        client_ = client;
        unavailableReported_ = false;
    }
    return client_;
}

AvahiConnection::Token AvahiConnection::onLoss(LossHandler handler)
{
    const Token token = nextToken_++;
    lossHandlers_.emplace(token, std::move(handler));
    return token;
}

void AvahiConnection::removeLossHandler(Token token)
{
    lossHandlers_.erase(token);
}

void AvahiConnection::stateChanged(AvahiClient *client, AvahiClientState state, void *userdata)
{
    auto *connection = static_cast<AvahiConnection *>(userdata);
    if (state == AVAHI_CLIENT_FAILURE && client == connection->client_) {
        connection->lost(client);
    }
}

void AvahiConnection::lost(AvahiClient *client)
{
    reportUnavailable(avahi_client_errno(client));
    client_ = nullptr;
    // Handlers may remove themselves; walk a copy.
    const auto handlers = lossHandlers_;
    for (const auto &[token, handler] : handlers) {
        if (lossHandlers_.contains(token)) {
            handler();
        }
    }
    // Not from inside the client's own callback.
    QTimer::singleShot(0, [client] { avahi_client_free(client); });
}

void AvahiConnection::reportUnavailable(int error)
{
    if (!unavailableReported_) {
        unavailableReported_ = true;
        systemLog(std::string("DNS-SD is not available (avahi-daemon: ") + avahi_strerror(error) +
                  "); searches will find nothing");
    }
}

} // namespace zek
