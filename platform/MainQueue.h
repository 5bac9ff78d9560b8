#pragma once

#include <functional>

namespace zek {

// Runs work on the main thread (the thread of the QCoreApplication) and
// returns once it has run. On the main thread itself the work is called
// directly; from any other thread it is queued to the main thread's event
// loop and the caller waits, so the main thread must not be waiting for
// that caller. Without an application object there is no event loop to hand
// the work to, and it is called directly.
void runOnMainThread(const std::function<void()> &work);

} // namespace zek
