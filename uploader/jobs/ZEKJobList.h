#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

class ZEKJobLedger;

// The jobs waiting in the spool tree as this uploader sees them, oldest first, with what the
// tree alone does not tell: whether one is being sent and how far it got, why its last attempt
// failed and when, whether the device took it but it could not be deleted. The application
// controller feeds it as jobs appear, send, fail and go (nothing polls the tree); the window's
// jobs table shows it, and the ledger keeps what `zek-jobs` needs of it. Main thread only.
class ZEKJobList : public QObject {
    Q_OBJECT

public:
    enum class State { Waiting, Sending, Failed, Delivered };

    struct Job {
        QUrl file;
        QString title;     // from the file name: "job_12 Report.pdf" is "Report"
        QString directory; // the spool directory it is in: a user's name, "anonymous users"
        qint64 size = 0;
        QDateTime printed; // when the backend finished it
        State state = State::Waiting;
        qint64 bytesSent = 0; // while sending
        qint64 bytesTotal = 0;
        QString error;       // the last failure, if any
        QDateTime attempted; // when the last attempt ended, if one did
    };

    // spoolRoot names the directories; the ledger, if given, is told of every change of state.
    explicit ZEKJobList(QByteArray spoolRoot, ZEKJobLedger *ledger = nullptr,
                        QObject *parent = nullptr);

    const QList<Job> &jobs() const { return jobs_; }
    int indexOf(const QUrl &file) const;

    // A job is there (again): added in its place by when it was printed, unless known.
    void jobAppeared(const QUrl &file);
    void jobIsSending(const QUrl &file, qint64 bytesTotal);
    void jobProgress(const QUrl &file, qint64 bytesSent, qint64 bytesTotal);
    void jobFailed(const QUrl &file, const QString &reason);
    // The device took it but it could not be deleted: it stays in view, never sent again.
    void jobDelivered(const QUrl &file);
    // Deleted, by this uploader or anybody.
    void jobGone(const QUrl &file);

    // "job_12 Quarterly report.pdf" is "Quarterly report".
    static QString titleOf(const QUrl &file);

signals:
    void jobInserted(int row);
    void jobRemoved(int row);
    void jobChanged(int row);

private:
    Job *find(const QUrl &file, int *row = nullptr);
    void changed(int row);

    const QByteArray spoolRoot_;
    ZEKJobLedger *ledger_;
    QList<Job> jobs_;
};
