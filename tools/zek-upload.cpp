// zek-upload FILE URL: uploads FILE to the device's print resource URL exactly as
// the uploader does, and prints the application log's lines for it, one per
// line, without time stamps. Exit status: 0 uploaded, 1 failed, 2 wrong usage.

#include "ZEKLog.h"
#include "ZEKNetworkController.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 3) {
        std::fputs("usage: zek-upload FILE URL\n", stderr);
        return 2;
    }
    const QUrl file = QUrl::fromLocalFile(QFileInfo(arguments.at(1)).absoluteFilePath());
    // A text that is no absolute URL is no resource at all.
    QUrl resource(arguments.at(2), QUrl::StrictMode);
    if (!resource.isValid() || resource.isRelative()) {
        resource = QUrl();
    }

    ZEKLog &log = ZEKLog::sharedLog();
    log.subscribe([](const QString &text) {
        // Written whole: a device's reply may hold NUL bytes.
        const QByteArray line = text.toUtf8().append('\n');
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        std::fflush(stdout);
    });

    int status = 1;
    // Started from the event loop, so that a completion that comes at once can end it.
    QTimer::singleShot(0, &application, [&] {
        log.log(ZEKLog::uploadingToResourceLine(resource));
        ZEKNetworkController::uploadFile(
            file, resource, [&](const QVariant &result, const std::optional<zek::Error> &error) {
                log.log(ZEKLog::uploadOutcomeLine(result, error));
                status = error ? 1 : 0;
                QCoreApplication::exit(status);
            });
    });
    application.exec();
    return status;
}
