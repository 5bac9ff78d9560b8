#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QObject>
#include <functional>

// One uploader per user: the first one to start listens on a socket in the
// user's runtime directory, and a later start (the menu entry while the
// autostarted one runs, say) hands it a request and ends, instead of putting
// up a second tray icon. Requests are one word: "show", "retry".
class ZEKInstanceChannel : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<void(const QByteArray &request)>;

    // The socket's path; the runtime directory is the user's own (mode 0700).
    static QString socketPath();
    // Whether a running uploader took the request.
    static bool sendToRunningInstance(const QByteArray &request);

    // Starts listening; false when another uploader already does.
    bool listen(Handler handler);

private:
    QLocalServer server_;
    Handler handler_;
};
