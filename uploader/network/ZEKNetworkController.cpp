#include "ZEKNetworkController.h"

#include "FileNames.h"
#include "HCHTTPRequestOperationManager.h"
#include "HCJSONResponseSerializer.h"
#include "HCURLError.h"
#include "ZEKDeviceSelection.h"
#include "ZEKIdentity.h"
#include "ZEKJobFile.h"
#include "ZEKLog.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

using namespace Qt::StringLiterals;

namespace {

constexpr double kUploadTimeoutInterval = 15.0;
constexpr double kResolveTimeout = 0.5;
constexpr double kHostNameTimeout = 2.0;

// The last path component of the URL's encoded text.
QString lastPathComponent(const QUrl &file)
{
    QString text = file.toString(QUrl::FullyEncoded);
    while (text.size() > 1 && text.endsWith(u'/')) {
        text.chop(1);
    }
    return text.mid(text.lastIndexOf(u'/') + 1);
}

} // namespace

ZEKNetworkController &ZEKNetworkController::sharedNetworkController()
{
    static ZEKNetworkController *const shared =
        new ZEKNetworkController(zek::DNSServiceDiscovery::system());
    return *shared;
}

ZEKNetworkController::ZEKNetworkController(zek::DNSServiceDiscovery &discovery)
    : bonjourController_(ZEKBonjourController::create(discovery))
{}

ZEKNetworkController::~ZEKNetworkController()
{
    for (const auto &service : lastSearchServices_.value_or(Services{})) {
        service->setDelegate(nullptr);
    }
}

void ZEKNetworkController::bonjourSearchAvailableServicesWithCompletion(
    SearchCompletion completion, ResolvedCompletion resolvedWithCompletion)
{
    lastSearchServices_.reset();
    bonjourController_->findServicesOfType(
        Hypertext_Transfer,
        [](const QStringList &domains) {
            ZEKLog::sharedLog().log(u"Filtered Domains: [%1]"_s.arg(domains.join(u", "_s)));
            return domains;
        },
        [this, completion = std::move(completion),
         resolved = std::move(resolvedWithCompletion)](const Services &found) {
            const Services chosen = ZEKDeviceSelection::chooseDevices(found);
            QStringList names;
            for (const auto &service : chosen) {
                names.append(zek::escapeControlCharacters(service->name()));
            }
            ZEKLog::sharedLog().log(u"Filtered Services: [%1]"_s.arg(names.join(u", "_s)));
            lastSearchServices_ = chosen;
            resolvingCompletion_ = resolved;
            for (const auto &service : chosen) {
                service->setDelegate(this);
                service->resolveWithTimeout(kResolveTimeout);
            }
            if (completion) {
                completion(chosen);
            }
        });
}

void ZEKNetworkController::netServiceDidResolveAddress(zek::NetService *sender)
{
    const Services latest = lastSearchServices_.value_or(Services{});
    const auto service = std::find_if(latest.begin(), latest.end(), [sender](const auto &chosen) {
        return chosen.get() == sender;
    });
    if (service == latest.end()) {
        return;
    }
    const QList<QByteArray> addresses = sender->addresses();
    // An address that is not IPv4 shows as none.
    const QString address =
        addresses.isEmpty() ? QString() : extractIPaddressFromData(addresses.first());
    const QString hostName = sender->hostName();
    ZEKLog::sharedLog().log(
        u"Service resolved: {name: %1, domain: %2, hostname: %3, port: %4, ip: %5}"_s.arg(
            zek::escapeControlCharacters(sender->name()),
            zek::escapeControlCharacters(sender->domain()),
            hostName.isNull() ? u"(null)"_s : zek::escapeControlCharacters(hostName),
            QString::number(sender->port()), address.isNull() ? u""_s : address));
    if (resolvingCompletion_) {
        resolvingCompletion_(*service);
    }
}

QString ZEKNetworkController::extractIPaddressFromData(const QByteArray &data)
{
    // The family is checked too: the dotted form of another family's bytes
    // would be taken for the device's address.
    sockaddr_in address{};
    if (data.size() < 8) {
        return QString();
    }
    std::memcpy(&address, data.constData(),
                std::min(static_cast<std::size_t>(data.size()), sizeof address));
    if (address.sin_family != AF_INET) {
        return QString();
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return QString::fromLatin1(text);
}

zek::Error ZEKNetworkController::uploaderError(const char *description, const QString &detail)
{
    QString text = QCoreApplication::translate("ZEKNetworkController", description);
    if (!detail.isNull()) {
        text = text.arg(detail);
    }
    return HCErrorWithDescription(QString::fromUtf8(zek::kApplicationIdentifier), 0, text);
}

void ZEKNetworkController::uploadFile(const QUrl &file, const QUrl &toResource,
                                      UploadCompletion withCompletion)
{
    if (toResource.isEmpty()) {
        withCompletion(QVariant(), uploaderError("Missing resource url"));
        return;
    }
    const ZEKJobFile::Claim opened = ZEKJobFile::open(zek::localPath(file));
    if (!opened.job) {
        withCompletion(QVariant(), uploaderError("Missing file data"));
        return;
    }
    uploadFile(opened.job, toResource, std::move(withCompletion));
}

void ZEKNetworkController::uploadFile(const std::shared_ptr<const ZEKJobFile> &job,
                                      const QUrl &toResource, UploadCompletion withCompletion,
                                      UploadProgress progress)
{
    if (toResource.isEmpty()) {
        withCompletion(QVariant(), uploaderError("Missing resource url"));
        return;
    }
    findHostAddress(toResource, [=](const QString &address) {
        post(job, toResource, address, withCompletion, progress);
    });
}

void ZEKNetworkController::findHostAddress(const QUrl &resource,
                                           std::function<void(const QString &address)> then)
{
    const QString host = resource.host();
    if (!host.endsWith(u".local"_s, Qt::CaseInsensitive)) {
        then(QString());
        return;
    }
    QHostInfo::lookupHost(
        host, QCoreApplication::instance(), [host, then = std::move(then)](const QHostInfo &info) {
            if (info.error() == QHostInfo::NoError && !info.addresses().isEmpty()) {
                then(QString());
                return;
            }
            // No mDNS name service here: DNS-SD itself knows the device.
            zek::DNSServiceDiscovery::system().resolveHostName(host, kHostNameTimeout, then);
        });
}

void ZEKNetworkController::post(const std::shared_ptr<const ZEKJobFile> &job,
                                const QUrl &toResource, const QString &hostAddress,
                                UploadCompletion withCompletion, UploadProgress progress)
{
    const auto manager = HCHTTPRequestOperationManager::manager();
    manager->requestSerializer()->setHostAddress(hostAddress);
    manager->setResponseSerializer(HCJSONResponseSerializer::serializer());
    manager->requestSerializer()->setTimeoutInterval(kUploadTimeoutInterval);
    manager->setRedirectCallback([](const std::shared_ptr<HCHTTPRequestOperation> &,
                                    const QUrl &URL, const HCHTTPURLResponse &) {
        ZEKLog::sharedLog().log(u"Redirected to: %1"_s.arg(URL.toString(QUrl::FullyEncoded)));
    });
    if (progress) {
        manager->setUploadProgressCallback(
            [progress](qint64, qint64 totalBytesWritten, qint64 totalBytesExpected) {
                progress(totalBytesWritten, totalBytesExpected);
            });
    }

    // Exactly one of the two callbacks runs; both share the completion.
    const auto completion = std::make_shared<UploadCompletion>(std::move(withCompletion));
    const QString fileName = lastPathComponent(job->URL());
    manager->POST(
        toResource.toString(QUrl::FullyEncoded), QVariantMap(),
        [&](HCMultipartFormData &formData) {
            // Cannot fail: the descriptor's link was checked when the file was opened.
            formData.appendPartWithFileURL(job->descriptorURL(), u"file"_s, fileName,
                                           u"application/pdf"_s, nullptr);
        },
        // Each callback keeps the file open until the upload has ended.
        [completion, job](const std::shared_ptr<HCHTTPRequestOperation> &,
                          const QVariant &responseObject) {
            (*completion)(responseObject, std::nullopt);
        },
        [completion, job](const std::shared_ptr<HCHTTPRequestOperation> &operation,
                          const zek::Error &error) {
            // The device's own explanation, when it gave one.
            QVariant result;
            if (operation) {
                if (const std::optional<QByteArray> reply = operation->responseData()) {
                    result = QString::fromUtf8(*reply);
                }
            }
            (*completion)(result, error);
        });
}
