// ZEKPrinter: the CUPS backend. CUPS runs it once per job as
//   zekprinter job-id user title copies options [file]
// with the document as PDF on standard input (the queue's PPD sees to that). With no arguments it
// lists its device, as CUPS asks of every backend; --help and --version alone are for people.
// No option parser: a job's title or user may begin with '-' and must stay an argument.

#include "JobFlow.h"
#include "SystemLog.h"
#include "ZEKIdentity.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// What CUPS lists when it asks the backends for devices (no arguments).
constexpr const char *kDeviceLine = "direct zekprinter:/ \"ZEK ZEKPrinter\" \"ZEK laser device\" "
                                    "\"MFG:ZEK;MDL:ZEKPrinter;CMD:PDF;\" \"\"";

constexpr const char *kHelp =
    "Usage: zekprinter\n"
    "       zekprinter JOB-ID USER TITLE [COPIES OPTIONS [FILE]]\n"
    "The CUPS backend of the ZEK queue: CUPS runs it with the job's PDF on standard input,\n"
    "and it stores the job for ZEKUploader under /var/spool/ZEKPrinter/USER.\n"
    "With no arguments it prints the device line CUPS lists.\n"
    "\n"
    "Options:\n"
    "  -h, --help     Displays help on commandline options.\n"
    "  -v, --version  Displays version information.\n"
    "\n"
    "Exit status as CUPS reads it: 0 stored, 1 failed (CUPS retries; also wrong usage),\n"
    "2 not a PDF, 3 the job file could not be finished. See zekprinter(8).\n";

bool is(const char *argument, const char *shortName, const char *longName)
{
    return std::strcmp(argument, shortName) == 0 || std::strcmp(argument, longName) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    zek::openSystemLog("ZEKPrinter");
    if (argc == 1) {
        std::puts(kDeviceLine);
        return 0;
    }
    if (argc == 2 && is(argv[1], "-h", "--help")) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (argc == 2 && is(argv[1], "-v", "--version")) {
        std::printf("zekprinter %s\n", zek::kVersion);
        return 0;
    }
    // Wrong usage ends as a failed job (1): every other status means something else to CUPS.
    if (argc < 4 || argc > 7) {
        std::fprintf(stderr,
                     "Usage: %s job-id user title [copies options [file]]\nTry '%s --help'.\n",
                     argv[0], argv[0]);
        return kZEKSpoolFailed;
    }
    return zek_spool_job(kZEKSpoolRoot, argv[1], argv[2], argv[3], STDIN_FILENO);
}
