#include "ZEKJobList.h"

#include "Beneath.h"
#include "FileNames.h"
#include "ZEKJobLedger.h"

#include <QRegularExpression>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

ZEKJobList::ZEKJobList(QByteArray spoolRoot, ZEKJobLedger *ledger, QObject *parent)
    : QObject(parent), spoolRoot_(std::move(spoolRoot)), ledger_(ledger)
{}

int ZEKJobList::indexOf(const QUrl &file) const
{
    for (int row = 0; row < jobs_.size(); ++row) {
        if (jobs_[row].file == file) {
            return row;
        }
    }
    return -1;
}

ZEKJobList::Job *ZEKJobList::find(const QUrl &file, int *row)
{
    const int found = indexOf(file);
    if (row) {
        *row = found;
    }
    return found < 0 ? nullptr : &jobs_[found];
}

QString ZEKJobList::titleOf(const QUrl &file)
{
    static const QRegularExpression jobPrefix(u"^job_[^ ]* "_s);
    QString name = zek::displayPath(zek::lastStep(zek::localPath(file)));
    if (name.endsWith(u".pdf"_s, Qt::CaseInsensitive)) {
        name.chop(4);
    }
    return name.remove(jobPrefix);
}

void ZEKJobList::jobAppeared(const QUrl &file)
{
    if (indexOf(file) >= 0) {
        return;
    }
    const QByteArray path = zek::localPath(file);
    struct stat status {};
    if (::lstat(path.constData(), &status) != 0) {
        return;
    }
    Job job;
    job.file = file;
    job.title = titleOf(file);
    const QByteArray relative = zek::relativeTo(spoolRoot_, path);
    job.directory = zek::displayPath(relative.contains('/') ? relative.left(relative.indexOf('/'))
                                                            : QByteArray());
    job.size = status.st_size;
    job.printed = QDateTime::fromMSecsSinceEpoch(qint64(status.st_mtim.tv_sec) * 1000 +
                                                 status.st_mtim.tv_nsec / 1'000'000);
    if (ledger_) {
        const ZEKJobLedger::Status known = ledger_->statusOf(path);
        job.error = known.error;
        job.attempted = known.attempted;
        if (!known.error.isEmpty()) {
            job.state = State::Failed;
        }
        if (ledger_->wasDelivered(path)) {
            job.state = State::Delivered;
        }
    }
    // Oldest first.
    int row = int(jobs_.size());
    while (row > 0 && jobs_[row - 1].printed > job.printed) {
        --row;
    }
    jobs_.insert(row, job);
    emit jobInserted(row);
}

void ZEKJobList::jobIsSending(const QUrl &file, qint64 bytesTotal)
{
    jobAppeared(file);
    int row = -1;
    if (Job *job = find(file, &row)) {
        job->state = State::Sending;
        job->bytesSent = 0;
        job->bytesTotal = bytesTotal;
        changed(row);
    }
}

void ZEKJobList::jobProgress(const QUrl &file, qint64 bytesSent, qint64 bytesTotal)
{
    int row = -1;
    if (Job *job = find(file, &row); job && job->state == State::Sending) {
        job->bytesSent = bytesSent;
        job->bytesTotal = bytesTotal;
        emit jobChanged(row); // not saved: progress is for the eye only
    }
}

void ZEKJobList::jobFailed(const QUrl &file, const QString &reason)
{
    jobAppeared(file);
    int row = -1;
    if (Job *job = find(file, &row)) {
        job->state = State::Failed;
        job->error = reason;
        job->attempted = QDateTime::currentDateTime();
        changed(row);
    }
}

void ZEKJobList::jobDelivered(const QUrl &file)
{
    int row = -1;
    if (Job *job = find(file, &row)) {
        job->state = State::Delivered;
        job->error.clear();
        job->attempted = QDateTime::currentDateTime();
        changed(row);
    }
}

void ZEKJobList::jobGone(const QUrl &file)
{
    const int row = indexOf(file);
    if (ledger_) {
        ledger_->forgetStatus(zek::localPath(file));
    }
    if (row >= 0) {
        jobs_.removeAt(row);
        emit jobRemoved(row);
    }
}

void ZEKJobList::changed(int row)
{
    const Job &job = jobs_[row];
    // A delivered job is in the ledger's list of those, never sent again.
    if (ledger_ && job.state == State::Delivered) {
        ledger_->forgetStatus(zek::localPath(job.file));
    } else if (ledger_) {
        ledger_->setStatus(zek::localPath(job.file), {job.state == State::Sending  ? u"sending"_s
                                                      : job.state == State::Failed ? u"failed"_s
                                                                                   : u"waiting"_s,
                                                      job.error, job.attempted});
    }
    emit jobChanged(row);
}
