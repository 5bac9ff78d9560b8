#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

// An account of the machine as the backend uses it: the owner of the user
// spool directory and of the job file.
struct ZEKAccount {
    std::string posixName;
    uid_t uid = 0;
    gid_t gid = 0;
};

// Looks an account up by name through NSS; nothing when no account has that
// name. Names that could not serve as one path component ("", ".", "..",
// anything with "/") never resolve, because the user name also names the
// user spool directory.
std::optional<ZEKAccount> zek_account_with_name(const std::string &name);
