#include "JobFlow.h"

#include "Account.h"
#include "FinalizeFile.h"
#include "PrintDir.h"
#include "StdinToPdf.h"
#include "SystemLog.h"
#include "Title.h"

namespace {

struct SpoolOwner {
    std::string directoryName;
    ZEKAccount account;
};

std::optional<SpoolOwner> resolveOwner(const std::string &userName)
{
    if (auto account = zek_account_with_name(userName)) {
        return SpoolOwner{userName, *account};
    }
    if (auto nobody = zek_account_with_name("nobody")) {
        return SpoolOwner{kZEKAnonymousDirectoryName, *nobody};
    }
    zek::systemLog("Error resolving user: neither \"" + userName +
                   "\" nor \"nobody\" is an account");
    return std::nullopt;
}

} // namespace

ZEKSpoolStatus zek_spool_job(const std::string &spoolRoot, const std::string &jobIdentifier,
                             const std::string &userName, const std::string &title, int input)
{
    const auto owner = resolveOwner(userName);
    if (!owner) {
        return kZEKSpoolFailed;
    }
    const auto directory = zek_create_print_dir(spoolRoot, owner->directoryName, owner->account);
    if (!directory) {
        return kZEKSpoolFailed;
    }
    const QString name =
        zek_prepare_title(QString::fromUtf8(title), QString::fromUtf8(jobIdentifier));
    const std::string path = *directory + "/" + name.toUtf8().toStdString() + ".~pdf";

    switch (zek_stdin_to_pdf(path, owner->account, input)) {
    case ZEKCopyResult::NotPdf:
        return kZEKNotPdf;
    case ZEKCopyResult::CopyFailed:
        return kZEKSpoolFailed;
    case ZEKCopyResult::FileUnavailable:
        return kZEKFinalizeFailed;
    case ZEKCopyResult::Copied:
        break;
    }
    return zek_finalize_file(path) == 0 ? kZEKSpooled : kZEKFinalizeFailed;
}
