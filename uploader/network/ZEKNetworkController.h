#pragma once

#include "Error.h"

#include <QUrl>
#include <QVariant>
#include <functional>
#include <optional>

// Sends spooled PDF files to the device's print resource (and, later, finds
// devices on the local network).
class ZEKNetworkController {
public:
    // Called exactly once: the result (the device's parsed JSON reply on
    // success; on failure the reply body as UTF-8 text, or nothing when no
    // reply came) and the error, none on success.
    using UploadCompletion =
        std::function<void(const QVariant &result, const std::optional<zek::Error> &error)>;

    // The one instance, made on first use and never freed.
    static ZEKNetworkController &sharedNetworkController();

    // POSTs the file as multipart/form-data, one part "file" of type
    // "application/pdf" named by the last path component of the file URL's
    // encoded text (a space travels as %20), with a 15-second timeout; the reply
    // must be JSON. The completion runs on the main thread, except for the
    // argument errors ("Missing resource url", "Missing file data", in the
    // domain zek::kApplicationIdentifier with code 0), which reach it before
    // this returns.
    //
    // The file is opened now, without following a symbolic link and without
    // waiting: anything but a regular file that opens is missing data. Its
    // bytes are read from that descriptor as they are sent, never held whole.
    // Each call has its own request manager; nothing is kept here.
    static void uploadFile(const QUrl &file, const QUrl &toResource,
                           UploadCompletion withCompletion);

private:
    ZEKNetworkController() = default;
};
