// zek-upload FILE URL: uploads FILE to the device's print resource URL exactly as
// the uploader does, and prints the application log's lines for it, one per
// line, without time stamps. Exit status: 0 uploaded, 1 failed, 2 wrong usage.

#include "ZEKCommandLine.h"
#include "ZEKIdentity.h"
#include "ZEKLog.h"
#include "ZEKNetworkController.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    ZEKCommandLine::prepare(
        parser, u"zek-upload"_s,
        u"Uploads FILE to the device's print resource URL exactly as ZEKUploader does and prints "
        "the log's lines for it.\nExit status: 0 uploaded, 1 failed, 2 wrong usage."_s);
    parser.addPositionalArgument(u"FILE"_s, u"The PDF to upload."_s);
    parser.addPositionalArgument(
        u"URL"_s, u"The print resource, e.g. http://192.0.2.7:5004/api/laser/json/print/pdf."_s);
    if (const std::optional<int> status = ZEKCommandLine::process(parser)) {
        return *status;
    }
    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() != 2) {
        return ZEKCommandLine::wrongUsage(u"wants FILE and URL"_s);
    }
    const QUrl file = QUrl::fromLocalFile(QFileInfo(arguments.at(0)).absoluteFilePath());
    // A text that is no absolute URL is no resource at all.
    QUrl resource(arguments.at(1), QUrl::StrictMode);
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
