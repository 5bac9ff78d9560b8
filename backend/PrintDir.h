#pragma once

#include "Account.h"

#include <optional>
#include <string>

// Name of the shared user spool directory for jobs whose user has no account.
inline constexpr const char *kZEKAnonymousDirectoryName = "anonymous users";

// Ensures the user spool directory <spoolRoot>/<directoryName> and returns its
// path, or nothing on failure (logged to the system log).
//
// An existing directory is used as it is. Otherwise any missing part of the
// spool root is created, root's with mode 0755; the root and its parents may
// be symbolic links (the administrator's), but nothing below the root is
// followed. The user directory is then made with mode 0700, so that nobody
// can open it while it is still root's, and handed over by descriptor: owned
// by the account, mode 0700, or 0777 for "anonymous users". Modes are set
// explicitly because CUPS runs backends with umask 0077. A directory this
// call created but could not hand over to its owner is removed again.
std::optional<std::string> zek_create_print_dir(const std::string &spoolRoot,
                                                const std::string &directoryName,
                                                const ZEKAccount &account);
