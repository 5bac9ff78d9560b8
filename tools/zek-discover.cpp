// zek-discover [SECONDS]: runs one device search exactly as the logger window
// does, prints the application log's lines as they come (without time
// stamps), then after SECONDS (default 5) one line per chosen device:
//   name <TAB> host name <TAB> first IPv4 address <TAB> port <TAB> TXT "qwe" value
// with empty fields for what is not known (the port of a device that has not
// resolved is -1). Backslashes, tabs and line breaks inside a field are
// written \\, \t and \n. Exit status: 0, or 2 for wrong usage.

#include "ZEKLog.h"
#include "ZEKNetworkController.h"
#include "ZEKServiceTransformers.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

namespace {

void writeLine(const QByteArray &text)
{
    const QByteArray line = text + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}

QByteArray field(QByteArray text)
{
    return text.replace('\\', "\\\\").replace('\t', "\\t").replace('\n', "\\n");
}

QByteArray deviceLine(const std::shared_ptr<zek::NetService> &service)
{
    const QVariant address =
        ZEKAddressesTransformer().transformedValue(QVariant::fromValue(service->addresses()));
    const QVariant qwe =
        ZEKTXTRecordDataTransformer().transformedValue(QVariant(service->TXTRecordData()));
    return QByteArrayList{field(service->name().toUtf8()), field(service->hostName().toUtf8()),
                          address.toString().toUtf8(), QByteArray::number(service->port()),
                          field(qwe.toByteArray())}
        .join('\t');
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    bool valid = arguments.size() <= 2;
    const double seconds = arguments.size() == 2 ? arguments.at(1).toDouble(&valid) : 5.0;
    if (!valid || !(seconds > 0 && seconds <= 3600)) {
        std::fputs("usage: zek-discover [SECONDS]   (0 < SECONDS <= 3600, default 5)\n", stderr);
        return 2;
    }

    ZEKLog::sharedLog().subscribe([](const QString &text) { writeLine(text.toUtf8()); });
    ZEKNetworkController &controller = ZEKNetworkController::sharedNetworkController();
    QTimer::singleShot(0, &application, [&controller] {
        controller.bonjourSearchAvailableServicesWithCompletion(nullptr, nullptr);
    });
    QTimer::singleShot(static_cast<int>(seconds * 1000), &application, [&controller] {
        for (const auto &service :
             controller.lastSearchServices().value_or(ZEKNetworkController::Services{})) {
            writeLine(deviceLine(service));
        }
        QCoreApplication::exit(0);
    });
    return application.exec();
}
