#pragma once

#include <chrono>
#include <functional>

// Runs the calling thread's Qt event loop until `done` holds or `timeout` passes, and returns
// done(). For waiting on outcomes with a generous deadline, never for measuring time.
// Needs a QCoreApplication (zek_add_unit_test's QT_APPLICATION).
bool waitUntil(const std::function<bool()> &done,
               std::chrono::milliseconds timeout = std::chrono::seconds(60));
