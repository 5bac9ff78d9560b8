#pragma once

#include <avahi-common/watch.h>

namespace zek {

// Avahi's main-loop interface on the Qt event loop of the main thread: socket
// notifiers for watches, single-shot timers for timeouts. Every Avahi
// callback then arrives on the main thread, between other events.
const AvahiPoll *avahiQtPoll();

} // namespace zek
