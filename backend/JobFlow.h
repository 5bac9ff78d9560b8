#pragma once

#include <string>

// Where every user spool directory lives.
inline constexpr const char *kZEKSpoolRoot = "/var/spool/ZEKPrinter";

// The backend's exit status, as CUPS reads it.
enum ZEKSpoolStatus : int {
    kZEKSpooled = 0,        // the finished job file exists
    kZEKSpoolFailed = 1,    // no user spool directory, no account, or a failed copy: CUPS retries
    kZEKNotPdf = 2,         // the document does not begin with "%PDF"
    kZEKFinalizeFailed = 3, // the job file could not be made or renamed to its finished name
};

// Spools one job: resolves the user (unknown users become "nobody" in
// "anonymous users"), ensures the user spool directory under `spoolRoot`,
// copies the document from `input` into "<name>.~pdf" and renames it to
// "<name>.pdf". Returns the exit status for CUPS.
ZEKSpoolStatus zek_spool_job(const std::string &spoolRoot, const std::string &jobIdentifier,
                             const std::string &userName, const std::string &title, int input);
