// zek-jobs [list] [--json] | remove ID... | retry: the jobs waiting in the spool tree, for
// terminals and print servers. Root sees every user's jobs and asks the headless service; a user
// sees their own and "anonymous users" and asks their desktop uploader.

#include "Beneath.h"
#include "FileNames.h"
#include "TreeWalk.h"
#include "ZEKCommandLine.h"
#include "ZEKIdentity.h"
#include "ZEKInstanceChannel.h"
#include "ZEKJobFile.h"
#include "ZEKJobLedger.h"
#include "ZEKJobList.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <cstdio>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QByteArray kSpoolRoot = "/var/spool/ZEKPrinter";

struct Job {
    QString id;
    QString user;
    QString title;
    QByteArray path;
    qint64 size = 0;
    QDateTime printed;
    qint64 order = 0; // nanoseconds since the epoch, for oldest first
    QString state;
    QString error;
};

// Root reads the service's ledger; anybody else their desktop uploader's.
ZEKJobLedger ledger()
{
    if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("STATE_DIRECTORY")) {
        return ZEKJobLedger(u"/var/lib/zek-uploader"_s);
    }
    return ZEKJobLedger();
}

// Every job the caller can see, oldest first.
QList<Job> waitingJobs()
{
    const ZEKJobLedger known = ledger();
    static const QRegularExpression id(u"^job_([^ ]*)"_s);
    QList<Job> jobs;
    const TreeWalk walk(
        [](const QByteArray &) { return true; },
        [&](const TreeWalk::Entry &entry) {
            struct stat status {};
            if (entry.type != std::filesystem::file_type::regular ||
                !entry.path.toLower().endsWith(".pdf") ||
                fstatat(entry.directory, entry.name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
                return;
            }
            const QUrl file = zek::fileURL(entry.path);
            const QByteArray relative = zek::relativeTo(kSpoolRoot, entry.path);
            const QString name = zek::displayPath(zek::lastStep(relative));
            const ZEKJobLedger::Status recorded = known.statusOf(entry.path);
            Job job{id.match(name).captured(1),
                    relative.contains('/') ? zek::displayPath(relative.left(relative.indexOf('/')))
                                           : QString(),
                    ZEKJobList::titleOf(file),
                    entry.path,
                    status.st_size,
                    QDateTime::fromSecsSinceEpoch(status.st_mtim.tv_sec),
                    qint64(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec,
                    recorded.state.isEmpty() ? u"waiting"_s : recorded.state,
                    recorded.error};
            if (known.wasDelivered(entry.path)) {
                job.state = u"delivered, not deletable"_s;
            }
            jobs.append(job);
        },
        [](const QByteArray &directory, const std::error_code &error) {
            ZEKCommandLine::print(
                stderr, u"zek-jobs: skipped %1: %2\n"_s.arg(
                            zek::displayPath(directory), QString::fromStdString(error.message())));
        });
    walk.walk(kSpoolRoot);
    std::stable_sort(jobs.begin(), jobs.end(),
                     [](const Job &one, const Job &other) { return one.order < other.order; });
    return jobs;
}

int list(bool json)
{
    const QList<Job> jobs = waitingJobs();
    if (json) {
        QJsonArray array;
        for (const Job &job : jobs) {
            array.append(QJsonObject{{u"id"_s, job.id},
                                     {u"user"_s, job.user},
                                     {u"title"_s, job.title},
                                     {u"path"_s, QString::fromUtf8(job.path)},
                                     {u"size"_s, job.size},
                                     {u"printed"_s, job.printed.toString(Qt::ISODate)},
                                     {u"state"_s, job.state},
                                     {u"error"_s, job.error}});
        }
        ZEKCommandLine::print(stdout, QString::fromUtf8(QJsonDocument(array).toJson()));
        return 0;
    }
    for (const Job &job : jobs) {
        QStringList fields{job.id,
                           job.user,
                           job.title,
                           QString::number(job.size),
                           job.printed.toString(Qt::ISODate),
                           job.state,
                           job.error};
        for (QString &field : fields) {
            field = zek::escapeControlCharacters(field);
        }
        ZEKCommandLine::print(stdout, fields.join(u'\t') + u'\n');
    }
    return 0;
}

// Whether the caller may remove jobs of this spool directory: root any, a user their own and
// the anonymous ones.
bool mayRemove(const QString &user)
{
    if (::geteuid() == 0 || user == u"anonymous users"_s) {
        return true;
    }
    const passwd *account = ::getpwuid(::geteuid());
    return account && user == QString::fromLocal8Bit(account->pw_name);
}

int remove(const QStringList &ids)
{
    const QList<Job> jobs = waitingJobs();
    int status = 0;
    for (const QString &id : ids) {
        const auto job = std::find_if(jobs.cbegin(), jobs.cend(),
                                      [&](const Job &waiting) { return waiting.id == id; });
        if (job == jobs.cend()) {
            ZEKCommandLine::print(stderr, u"zek-jobs: no job %1 is waiting\n"_s.arg(id));
            status = 1;
            continue;
        }
        if (!mayRemove(job->user)) {
            ZEKCommandLine::print(stderr,
                                  u"zek-jobs: job %1 is %2's, not yours\n"_s.arg(id, job->user));
            status = 1;
            continue;
        }
        const ZEKJobFile::Claim claim = ZEKJobFile::claim(kSpoolRoot, job->path);
        QString reason;
        if (claim.outcome == ZEKJobFile::Outcome::HeldByAnother) {
            reason = u"it is being sent"_s;
        } else if (!claim.job) {
            reason = claim.reason.isEmpty() ? u"it is gone"_s : claim.reason;
        } else if (claim.job->remove(&reason)) {
            ZEKCommandLine::print(stdout,
                                  u"Removed job %1: %2\n"_s.arg(id, zek::displayPath(job->path)));
            continue;
        }
        ZEKCommandLine::print(stderr, u"zek-jobs: cannot remove job %1: %2\n"_s.arg(id, reason));
        status = 1;
    }
    return status;
}

int retry()
{
    // As root, the print server's service; otherwise (or without one) the user's uploader.
    if (::geteuid() == 0 &&
        ZEKInstanceChannel::sendToRunningInstance("retry", ZEKInstanceChannel::kPatience,
                                                  ZEKInstanceChannel::serviceSocketPath())) {
        ZEKCommandLine::print(
            stdout, u"Asked the print server's uploader to send the waiting jobs now.\n"_s);
        return 0;
    }
    if (!ZEKInstanceChannel::isUploaderRunning()) {
        ZEKCommandLine::print(
            stderr, u"zek-jobs: no uploader runs for you%1\n"_s.arg(
                        ::geteuid() == 0 ? u" (nor the print server's service)"_s : QString()));
        return 1;
    }
    if (!ZEKInstanceChannel::sendToRunningInstance("retry")) {
        ZEKCommandLine::print(stderr,
                              u"zek-jobs: the uploader does not answer; try again later\n"_s);
        return 1;
    }
    ZEKCommandLine::print(stdout, u"Asked the uploader to send the waiting jobs now.\n"_s);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    ZEKCommandLine::prepare(
        parser, u"zek-jobs"_s,
        u"The jobs waiting in the spool tree, oldest first.\n"
        "  list [--json]   id, spool directory, title, size, printed, state, last failure\n"
        "  remove ID...    remove waiting jobs (never through a link; only your own)\n"
        "  retry           have the running uploader send every waiting job now"_s);
    const QCommandLineOption json(u"json"_s, u"With list: a JSON array of objects."_s);
    parser.addOption(json);
    parser.addPositionalArgument(u"command"_s, u"list (the default), remove or retry."_s,
                                 u"[list|remove ID...|retry]"_s);
    if (const std::optional<int> status = ZEKCommandLine::process(parser)) {
        return *status;
    }
    QStringList arguments = parser.positionalArguments();
    const QString command = arguments.isEmpty() ? u"list"_s : arguments.takeFirst();
    if (command == u"list"_s && arguments.isEmpty()) {
        return list(parser.isSet(json));
    }
    if (command == u"remove"_s && !arguments.isEmpty() && !parser.isSet(json)) {
        return remove(arguments);
    }
    if (command == u"retry"_s && arguments.isEmpty() && !parser.isSet(json)) {
        return retry();
    }
    return ZEKCommandLine::wrongUsage(u"wants list [--json], remove ID... or retry"_s);
}
