#include "ZEKCommandLine.h"

#include "ZEKIdentity.h"

#include <QCoreApplication>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace ZEKCommandLine {

void prepare(QCommandLineParser &parser, const QString &tool, const QString &description)
{
    QCoreApplication::setApplicationName(tool);
    QCoreApplication::setApplicationVersion(QString::fromUtf8(zek::kVersion));
    parser.setApplicationDescription(description);
    parser.addHelpOption();
    parser.addVersionOption();
}

std::optional<int> process(QCommandLineParser &parser)
{
    if (!parser.parse(QCoreApplication::arguments())) {
        return wrongUsage(parser.errorText());
    }
    if (parser.isSet(u"help"_s)) {
        print(stdout, parser.helpText());
        return 0;
    }
    if (parser.isSet(u"version"_s)) {
        print(stdout, u"%1 %2\n"_s.arg(QCoreApplication::applicationName(),
                                       QCoreApplication::applicationVersion()));
        return 0;
    }
    return std::nullopt;
}

int wrongUsage(const QString &message)
{
    const QString tool = QCoreApplication::applicationName();
    print(stderr, u"%1: %2\nTry '%1 --help'.\n"_s.arg(tool, message));
    return 2;
}

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

} // namespace ZEKCommandLine
