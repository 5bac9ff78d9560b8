#pragma once

#include "ZEKJobFile.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

// What the uploader must know of jobs beyond the spool tree, also after a restart: the jobs the
// device took that could not be deleted afterwards (a read-only spool, say), which are never
// sent again however often they are found waiting; and, for `zek-jobs` and the next start, the
// state of the jobs under way or failed (the last failure and when it was). Kept as JSON in the
// uploader's state directory, jobs.json; `zek-jobs` reads it.
class ZEKJobLedger {
public:
    struct Entry {
        QByteArray path;
        ZEKJobFile::Identity identity;
    };
    // A job's last known state: "waiting", "sending" or "failed", the failure and its time.
    struct Status {
        QString state;
        QString error;
        QDateTime attempted;
    };

    // Where an uploader keeps its state: the service's state directory ($STATE_DIRECTORY, which
    // systemd sets from the unit's StateDirectory=), else $XDG_STATE_HOME/ZEK, else
    // ~/.local/state/ZEK.
    static QString stateDirectory();

    // Reads what the directory holds; entries whose file is no longer at its path are dropped.
    explicit ZEKJobLedger(QString directory = stateDirectory());

    QString fileName() const;
    QList<Entry> deliveredJobs() const { return delivered_; }
    bool wasDelivered(const ZEKJobFile::Identity &identity) const;
    // Whether the file at the path now is one that was delivered.
    bool wasDelivered(const QByteArray &path) const;
    // Remembers a delivered job and writes the ledger at once; false with the reason when it
    // cannot be written (the job is then remembered until the uploader ends).
    bool rememberDelivered(const QByteArray &path, const ZEKJobFile::Identity &identity,
                           QString *error);

    // The state of each job that has one, by path.
    QHash<QByteArray, Status> statuses() const { return statuses_; }
    Status statusOf(const QByteArray &path) const { return statuses_.value(path); }
    // Written at once; a ledger that cannot be written keeps them until the uploader ends.
    void setStatus(const QByteArray &path, const Status &status);
    void forgetStatus(const QByteArray &path);

private:
    void load();
    bool save(QString *error) const;

    const QString directory_;
    QList<Entry> delivered_;
    QHash<QByteArray, Status> statuses_;
};
