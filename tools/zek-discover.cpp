// zek-discover [SECONDS]: runs one device search exactly as the logger window
// does, prints the application log's lines as they come (without time
// stamps), then after SECONDS (default 5) one line per chosen device:
//   name <TAB> host name <TAB> first IPv4 address <TAB> port <TAB> TXT "qwe" value
// with empty fields for what is not known (the port of a device that has not
// resolved is -1). Backslashes, tabs and line breaks inside a field are
// written \\, \t and \n, other control characters \xHH. Exit status: 0, or 2 for wrong usage.

#include "FileNames.h"
#include "ZEKCommandLine.h"
#include "ZEKIdentity.h"
#include "ZEKLog.h"
#include "ZEKNetworkController.h"
#include "ZEKServiceTransformers.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

void writeLine(const QByteArray &text)
{
    const QByteArray line = text + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}

// Every control character escaped: a published name must neither split a line nor reach the
// terminal as a command.
QByteArray field(const QByteArray &text)
{
    return zek::escapeControlCharacters(QString::fromUtf8(text)).toUtf8();
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
    QCommandLineParser parser;
    ZEKCommandLine::prepare(
        parser, u"zek-discover"_s,
        u"Searches for devices as the logger window does, prints the log's lines as they come, "
        "then one line per device found:\n"
        "name, host name, IPv4 address, port and TXT \"qwe\" value, separated by tabs."_s);
    parser.addPositionalArgument(u"SECONDS"_s,
                                 u"How long to search: more than 0, at most 3600 (default 5)."_s,
                                 u"[SECONDS]"_s);
    if (const std::optional<int> status = ZEKCommandLine::process(parser)) {
        return *status;
    }
    const QStringList arguments = parser.positionalArguments();
    bool valid = arguments.size() <= 1;
    const double seconds = arguments.size() == 1 ? arguments.at(0).toDouble(&valid) : 5.0;
    if (!valid || !(seconds > 0 && seconds <= 3600)) {
        return ZEKCommandLine::wrongUsage(u"SECONDS is a number more than 0, at most 3600"_s);
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
