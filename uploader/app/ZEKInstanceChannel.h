#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QObject>
#include <chrono>
#include <functional>

// One uploader per user. Whoever holds an exclusive lock on a file in the user's runtime
// directory is the user's uploader, for as long as it runs; it listens on a socket beside the
// lock, and a later start (the menu entry while the autostarted one runs, say) hands it a request
// and ends instead of putting up a second tray icon. Only the lock's holder ever removes or makes
// the socket, so a busy uploader keeps its socket and stays the only one. Requests are one word:
// "show", "retry".
class ZEKInstanceChannel : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<void(const QByteArray &request)>;
    static constexpr std::chrono::milliseconds kPatience{5000};

    // The user's private directory for the lock and the socket: $XDG_RUNTIME_DIR when it is the
    // user's own and nobody else's to read (mode 0700), else /run/user/<uid> under the same
    // rule, else a 0700 directory /tmp/zek-uploader-<uid>[-N] of the user's own. Empty when none
    // can be had.
    static QString runtimeDirectory();

    // Takes the lock without waiting: true when this process is now the user's uploader, until
    // it ends. False when another one is (error stays empty) or when no lock can be had (error
    // says why).
    bool becomeTheUploader(QString *error);
    // Whether an uploader holds the user's lock now.
    static bool isUploaderRunning();
    // Hands a request to the running uploader (by default the user's) and waits, up to
    // `patience` in all, for it to say that it has it.
    static bool sendToRunningInstance(const QByteArray &request,
                                      std::chrono::milliseconds patience = kPatience,
                                      const QString &socket = socketPath());

    // Listens for requests (by default on the user's socket, once the lock is held). False with
    // the reason when it cannot.
    bool listen(Handler handler, QString *error, const QString &socket = socketPath());

    // The user's socket, beside the lock.
    static QString socketPath();
    // Where the headless service, run by systemd, listens for root's requests: in its runtime
    // directory ($RUNTIME_DIRECTORY, else /run/zek-uploader), which only root may enter.
    static QString serviceSocketPath();

private:
    int lock_ = -1;
    QLocalServer server_;
    Handler handler_;
};
