#pragma once

#include "Error.h"
#include "NetService.h"
#include "ZEKBonjourController.h"

#include <QUrl>
#include <QVariant>
#include <functional>
#include <optional>

class ZEKJobFile;

// Sends spooled PDF files to the device's print resource, and finds the laser
// devices on the local network.
class ZEKNetworkController : public zek::NetServiceDelegate {
public:
    using Services = ZEKBonjourController::Services;
    using SearchCompletion = std::function<void(const Services &chosen)>;
    using ResolvedCompletion = std::function<void(const std::shared_ptr<zek::NetService> &)>;

    // Called exactly once: the result (the device's parsed JSON reply on
    // success; on failure the reply body as UTF-8 text, or nothing when no
    // reply came) and the error, none on success.
    using UploadCompletion =
        std::function<void(const QVariant &result, const std::optional<zek::Error> &error)>;
    using UploadProgress = std::function<void(qint64 bytesSent, qint64 bytesTotal)>;

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
    // The file is opened now, without following a symbolic link at its last
    // step and without waiting: anything but a regular file that opens is
    // missing data. Each call has its own request manager; nothing is kept
    // here.
    static void uploadFile(const QUrl &file, const QUrl &toResource,
                           UploadCompletion withCompletion);
    // The same for a job already open (a claimed job of the spool tree): its
    // bytes are read from its descriptor as they are sent, never held whole,
    // and it stays open until the completion has run.
    // progress, if given, is told on the main thread how many bytes of the
    // body have gone, of how many. A ".local" host name that the system cannot
    // look up (no mDNS name service) is asked of DNS-SD itself, and the upload
    // goes to the address found; the name stays the request's own.
    static void uploadFile(const std::shared_ptr<const ZEKJobFile> &job, const QUrl &toResource,
                           UploadCompletion withCompletion, UploadProgress progress = {});

    // An error of the uploader's own (domain zek::kApplicationIdentifier, code
    // 0) with the translated description, its %1 filled with detail if given.
    static zek::Error uploaderError(const char *description, const QString &detail = QString());

    // The shared instance browses the system's DNS-SD; another discovery is
    // for tests, and must outlive the controller.
    explicit ZEKNetworkController(zek::DNSServiceDiscovery &discovery);
    ~ZEKNetworkController() override;
    ZEKNetworkController(const ZEKNetworkController &) = delete;
    ZEKNetworkController &operator=(const ZEKNetworkController &) = delete;

    std::shared_ptr<ZEKBonjourController> bonjourController() const { return bonjourController_; }
    // The devices chosen by the latest search; none while a search runs.
    std::optional<Services> lastSearchServices() const { return lastSearchServices_; }

    // bonjourSearchAvailableServicesWithCompletion:resolvedWithCompletion:
    // browses every browsable domain for "_http._tcp." services, chooses the
    // devices (ZEKDeviceSelection), starts resolving each (0.5 s) and calls
    // completion with them; resolvedWithCompletion then runs each time one of
    // them resolves. Both run later, on the main thread; a search asked for
    // while another runs is dropped.
    void bonjourSearchAvailableServicesWithCompletion(SearchCompletion completion,
                                                      ResolvedCompletion resolvedWithCompletion);

    // Logs "Service resolved: ..." for a device of the latest search and hands
    // it to the resolution callback; services of earlier searches are ignored.
    void netServiceDidResolveAddress(zek::NetService *sender) override;

    // The dotted IPv4 text of a socket address, or null for anything that is
    // not an IPv4 socket address (null, shorter than 8 bytes, another family).
    static QString extractIPaddressFromData(const QByteArray &data);

private:
    // The address to reach the resource's host at, where only DNS-SD knows it; empty otherwise.
    static void findHostAddress(const QUrl &resource,
                                std::function<void(const QString &address)> then);
    static void post(const std::shared_ptr<const ZEKJobFile> &job, const QUrl &toResource,
                     const QString &hostAddress, UploadCompletion withCompletion,
                     UploadProgress progress);

    std::shared_ptr<ZEKBonjourController> bonjourController_;
    std::optional<Services> lastSearchServices_;
    ResolvedCompletion resolvingCompletion_;
};
