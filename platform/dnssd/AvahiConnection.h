#pragma once

#include <avahi-client/client.h>
#include <cstdint>
#include <functional>
#include <map>

namespace zek {

// The process's one connection to avahi-daemon, made when first needed and
// made again after it was lost, so that a daemon started later is found by the
// next search. Main thread only.
class AvahiConnection {
public:
    using LossHandler = std::function<void()>;
    using Token = std::uint64_t;

    static AvahiConnection &shared();

    // The connected client, or null without a daemon or a system bus. The first
    // failure after a good spell (or at the start) goes to the system log once.
    AvahiClient *client();

    // Objects made on the client hear when it is lost, and free them then,
    // before the client itself goes.
    Token onLoss(LossHandler handler);
    void removeLossHandler(Token token);

private:
    AvahiConnection() = default;
    static void stateChanged(AvahiClient *client, AvahiClientState state, void *userdata);
    void lost(AvahiClient *client);
    void reportUnavailable(int error);

    AvahiClient *client_ = nullptr;
    bool unavailableReported_ = false;
    std::map<Token, LossHandler> lossHandlers_;
    Token nextToken_ = 1;
};

} // namespace zek
