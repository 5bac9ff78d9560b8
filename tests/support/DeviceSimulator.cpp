#include "DeviceSimulator.h"

#include <QFile>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

DeviceSimulator::DeviceSimulator()
    : process_(QStringLiteral(ZEK_PYTHON3), {QStringLiteral(ZEK_DEVICE_SIM), u"--port"_s, u"0"_s,
                                             u"--dir"_s, directory_.path()}),
      port_(process_.announcedPort())
{}

bool DeviceSimulator::setMode(const QByteArray &mode)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const QByteArray request =
        "POST /sim/mode HTTP/1.0\r\nContent-Length: " + QByteArray::number(mode.size()) +
        "\r\n\r\n" + mode;
    QByteArray reply;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
        ::write(fd, request.constData(), size_t(request.size())) == request.size()) {
        char buffer[512];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
            reply.append(buffer, n);
        }
    }
    ::close(fd);
    return reply.startsWith("HTTP/1.0 200") || reply.startsWith("HTTP/1.1 200");
}

QByteArrayList DeviceSimulator::jobs() const
{
    QByteArrayList jobs;
    // Stored as 1.pdf, 2.pdf, ...
    for (int n = 1;; ++n) {
        QFile job(directory_.filePath(u"%1.pdf"_s.arg(n)));
        if (!job.open(QIODevice::ReadOnly)) {
            return jobs;
        }
        jobs.append(job.readAll());
    }
}
