#pragma once

#include <string_view>

namespace zek {

// The system log. Every message goes to syslog and, because these machines
// often run no syslog daemon and CUPS copies a backend's standard error into
// its error_log, to standard error as well.

// Names the program in every later message; call once, early in main.
void openSystemLog(const char *identifier);

// Writes one message. Safe to call without openSystemLog (the name is then
// the program's own).
void systemLog(std::string_view message);

} // namespace zek
