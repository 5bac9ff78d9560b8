// ZEKPrinter: the CUPS backend. CUPS runs it once per job as
//   zekprinter job-id user title copies options [file]
// with the document as PDF on standard input (the queue's PPD sees to that).

#include "JobFlow.h"
#include "SystemLog.h"

#include <cstdio>
#include <unistd.h>

namespace {

// What CUPS lists when it asks the backends for devices (no arguments).
constexpr const char *kDeviceLine = "direct zekprinter:/ \"ZEK ZEKPrinter\" \"ZEK laser device\" "
                                    "\"MFG:ZEK;MDL:ZEKPrinter;CMD:PDF;\" \"\"";

} // namespace

int main(int argc, char *argv[])
{
    zek::openSystemLog("ZEKPrinter");
    if (argc == 1) {
        std::puts(kDeviceLine);
        return 0;
    }
    if (argc < 4) {
        std::fprintf(stderr, "Usage: %s job-id user title [copies options [file]]\n", argv[0]);
        return kZEKSpoolFailed;
    }
    return zek_spool_job(kZEKSpoolRoot, argv[1], argv[2], argv[3], STDIN_FILENO);
}
