#pragma once

#include <functional>

class QThread;

// The one thread the HTTP client's transport runs on, with its own event loop,
// and the one way to hand it work. Made and started on first use, and never
// stopped or freed, so that the application can quit while an upload runs.
class HCNetworkThread {
public:
    static QThread *thread();
    static bool isCurrent();
    // Runs work on the network thread later, in the order posted from any one
    // thread; never inside this call, even on the network thread itself.
    static void post(std::function<void()> work);
};
