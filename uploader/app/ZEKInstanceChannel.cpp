#include "ZEKInstanceChannel.h"

#include <QLocalSocket>
#include <QStandardPaths>

namespace {
constexpr int kTimeoutMilliseconds = 2000;
}

QString ZEKInstanceChannel::socketPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) +
           QStringLiteral("/zek-uploader.socket");
}

bool ZEKInstanceChannel::sendToRunningInstance(const QByteArray &request)
{
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(kTimeoutMilliseconds)) {
        return false;
    }
    socket.write(request + '\n');
    // The answer says it was read; without it the other one may be hung.
    return socket.waitForBytesWritten(kTimeoutMilliseconds) &&
           socket.waitForReadyRead(kTimeoutMilliseconds) && socket.readLine().trimmed() == "ok";
}

bool ZEKInstanceChannel::listen(Handler handler)
{
    if (sendToRunningInstance(QByteArrayLiteral("ping"))) {
        return false;
    }
    // Nobody answers: what is left is the socket of an uploader that ended badly.
    QLocalServer::removeServer(socketPath());
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(socketPath())) {
        return true; // running alone all the same beats not running
    }
    handler_ = std::move(handler);
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *client = server_.nextPendingConnection()) {
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            connect(client, &QLocalSocket::readyRead, client, [this, client] {
                if (!client->canReadLine()) {
                    return;
                }
                const QByteArray request = client->readLine().trimmed();
                client->write("ok\n");
                client->flush();
                if (request != "ping" && handler_) {
                    handler_(request);
                }
            });
        }
    });
    return true;
}
