#include "SystemLog.h"

#include <string>
#include <syslog.h>

namespace zek {

namespace {
bool logOpened = false;
}

void openSystemLog(const char *identifier)
{
    openlog(identifier, LOG_PID | LOG_PERROR, LOG_USER);
    logOpened = true;
}

void systemLog(std::string_view message)
{
    // syslog stops at the first NUL; a string_view need not end in one.
    if (!logOpened) {
        openSystemLog(nullptr);
    }
    const std::string text(message);
    syslog(LOG_NOTICE, "%s", text.c_str());
}

} // namespace zek
