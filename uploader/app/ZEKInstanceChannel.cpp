#include "ZEKInstanceChannel.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLocalSocket>
#include <QThread>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// A directory of the user's own that nobody else may enter, reached without a link.
bool isPrivateDirectory(const QString &path)
{
    struct stat status {};
    return path.startsWith(u'/') && ::lstat(QFile::encodeName(path).constData(), &status) == 0 &&
           S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() && (status.st_mode & 077) == 0;
}

} // namespace

QString ZEKInstanceChannel::runtimeDirectory()
{
    const QString session = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (isPrivateDirectory(session)) {
        return session;
    }
    const QString uid = QString::number(::geteuid());
    if (isPrivateDirectory(u"/run/user/"_s + uid)) {
        return u"/run/user/"_s + uid;
    }
    // /tmp is everybody's: a name somebody else took first is passed over.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString candidate = u"/tmp/zek-uploader-"_s + uid +
                                  (attempt == 0 ? QString() : u"-"_s + QString::number(attempt));
        ::mkdir(QFile::encodeName(candidate).constData(), 0700);
        if (isPrivateDirectory(candidate)) {
            return candidate;
        }
    }
    return QString();
}

QString ZEKInstanceChannel::socketPath()
{
    return runtimeDirectory() + u"/zek-uploader.socket"_s;
}

QString ZEKInstanceChannel::serviceSocketPath()
{
    const QString service = qEnvironmentVariable("RUNTIME_DIRECTORY").section(u':', 0, 0);
    return (service.isEmpty() ? u"/run/zek-uploader"_s : service) + u"/control.socket"_s;
}

bool ZEKInstanceChannel::isUploaderRunning()
{
    const QByteArray path = QFile::encodeName(runtimeDirectory() + u"/zek-uploader.lock"_s);
    const int lock = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (lock < 0) {
        return false;
    }
    const bool held = ::flock(lock, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(lock);
    return held;
}

bool ZEKInstanceChannel::becomeTheUploader(QString *error)
{
    const QString directory = runtimeDirectory();
    if (directory.isEmpty()) {
        *error = u"no private runtime directory could be had (XDG_RUNTIME_DIR, /tmp)"_s;
        return false;
    }
    const QByteArray path = QFile::encodeName(directory + u"/zek-uploader.lock"_s);
    lock_ = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lock_ < 0) {
        *error = u"cannot open %1: %2"_s.arg(QFile::decodeName(path),
                                             QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (::flock(lock_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            *error = u"cannot lock %1: %2"_s.arg(QFile::decodeName(path),
                                                 QString::fromLocal8Bit(std::strerror(errno)));
        }
        ::close(lock_);
        lock_ = -1;
        return false;
    }
    return true;
}

bool ZEKInstanceChannel::sendToRunningInstance(const QByteArray &request,
                                               std::chrono::milliseconds patience,
                                               const QString &socketPath)
{
    // The running one may be starting up still: it holds the lock before it listens.
    const QDeadlineTimer deadline(patience);
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(socketPath);
        if (!socket.waitForConnected(int(deadline.remainingTime()))) {
            QThread::msleep(100);
            continue;
        }
        socket.write(request + '\n');
        // The answer says it was read; without it the other one may be hung.
        return socket.waitForBytesWritten(int(deadline.remainingTime())) &&
               socket.waitForReadyRead(int(deadline.remainingTime())) &&
               socket.readLine().trimmed() == "ok";
    }
    return false;
}

bool ZEKInstanceChannel::listen(Handler handler, QString *error, const QString &socketPath)
{
    // Whatever is at the socket's path was left by an uploader that ended: the lock (or the
    // service's own directory) is ours.
    QLocalServer::removeServer(socketPath);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(socketPath)) {
        *error = u"cannot listen on %1: %2"_s.arg(socketPath, server_.errorString());
        return false;
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
                if (handler_) {
                    handler_(request);
                }
            });
        }
    });
    return true;
}
