#include "TestHTTPServer.h"

#include <QDeadlineTimer>

using namespace Qt::StringLiterals;

namespace {

QStringList serverArguments(const QString &chainPath, const QString &keyPath)
{
    QStringList arguments{QStringLiteral(ZEK_HTTP_TEST_SERVER)};
    if (!chainPath.isEmpty()) {
        arguments << u"--cert"_s << chainPath << u"--key"_s << keyPath;
    }
    return arguments;
}

} // namespace

TestHTTPServer::TestHTTPServer() : TestHTTPServer(QString(), QString()) {}

TestHTTPServer::TestHTTPServer(const QString &chainPath, const QString &keyPath)
    : process_(QStringLiteral(ZEK_PYTHON3), serverArguments(chainPath, keyPath)),
      scheme_(chainPath.isEmpty() ? u"http"_s : u"https"_s)
{
    if (process_.waitForOutput("\n", 30000)) {
        const QByteArray first = process_.output().split('\n').value(0);
        if (first.startsWith("PORT ")) {
            port_ = quint16(first.mid(5).trimmed().toUInt());
        }
    }
}

QString TestHTTPServer::URL(const QString &path) const
{
    return u"%1://127.0.0.1:%2%3"_s.arg(scheme_).arg(port_).arg(path);
}

QByteArrayList TestHTTPServer::requests(qsizetype atLeast)
{
    const QDeadlineTimer deadline(10000);
    process_.readMore(0);
    while (true) {
        // Only whole lines: the server may be in the middle of one.
        const QByteArray &output = process_.output();
        QByteArrayList lines;
        for (const QByteArray &line : output.first(output.lastIndexOf('\n') + 1).split('\n')) {
            if (line.startsWith("REQUEST ")) {
                lines.append(line);
            }
        }
        if (lines.size() >= atLeast || deadline.hasExpired()) {
            return lines;
        }
        process_.readMore(100);
    }
}
