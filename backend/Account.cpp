#include "Account.h"

#include <cerrno>
#include <pwd.h>
#include <unistd.h>
#include <vector>

std::optional<ZEKAccount> zek_account_with_name(const std::string &name)
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        return std::nullopt;
    }
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 1024);
    passwd entry{};
    passwd *found = nullptr;
    for (;;) {
        const int rc = getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || found == nullptr) {
            return std::nullopt;
        }
        return ZEKAccount{found->pw_name, found->pw_uid, found->pw_gid};
    }
}
