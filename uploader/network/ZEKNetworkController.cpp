#include "ZEKNetworkController.h"

#include "HCHTTPRequestOperationManager.h"
#include "HCJSONResponseSerializer.h"
#include "ZEKIdentity.h"

#include <QCoreApplication>
#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr double kUploadTimeoutInterval = 15.0;

zek::Error uploaderError(const char *description)
{
    return zek::Error(QString::fromUtf8(zek::kApplicationIdentifier), 0,
                      {{zek::NSLocalizedDescriptionKey,
                        QCoreApplication::translate("ZEKNetworkController", description)}});
}

// The whole file, or none when it is not a regular file that can be read. A
// symbolic link is refused (the spool tree has directories that anybody may
// write to), and so is anything whose reading could wait, such as a FIFO.
std::optional<QByteArray> readRegularFile(const QUrl &file)
{
    if (!file.isLocalFile()) {
        return std::nullopt;
    }
    const QByteArray path = QFile::encodeName(file.toLocalFile());
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::optional<QByteArray> contents;
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        QByteArray bytes;
        bytes.reserve(qsizetype(status.st_size));
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got > 0) {
                bytes.append(buffer, qsizetype(got));
            } else if (got == 0) {
                contents = std::move(bytes);
                break;
            } else if (errno != EINTR) {
                break;
            }
        }
    }
    ::close(fd);
    return contents;
}

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
    static ZEKNetworkController *const shared = new ZEKNetworkController;
    return *shared;
}

void ZEKNetworkController::uploadFile(const QUrl &file, const QUrl &toResource,
                                      UploadCompletion withCompletion)
{
    if (toResource.isEmpty()) {
        withCompletion(QVariant(), uploaderError("Missing resource url"));
        return;
    }
    const std::optional<QByteArray> data = readRegularFile(file);
    if (!data) {
        withCompletion(QVariant(), uploaderError("Missing file data"));
        return;
    }

    const auto manager = HCHTTPRequestOperationManager::manager();
    manager->setResponseSerializer(HCJSONResponseSerializer::serializer());
    manager->requestSerializer()->setTimeoutInterval(kUploadTimeoutInterval);

    // Exactly one of the two callbacks runs; both share the completion.
    const auto completion = std::make_shared<UploadCompletion>(std::move(withCompletion));
    const QString fileName = lastPathComponent(file);
    manager->POST(
        toResource.toString(QUrl::FullyEncoded), QVariantMap(),
        [&](HCMultipartFormData &formData) {
            formData.appendPartWithFileData(*data, u"file"_s, fileName, u"application/pdf"_s);
        },
        [completion](const std::shared_ptr<HCHTTPRequestOperation> &,
                     const QVariant &responseObject) {
            (*completion)(responseObject, std::nullopt);
        },
        [completion](const std::shared_ptr<HCHTTPRequestOperation> &operation,
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
