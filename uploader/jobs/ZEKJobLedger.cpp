#include "ZEKJobLedger.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

std::optional<ZEKJobFile::Identity> identityAt(const QByteArray &path)
{
    struct stat status {};
    if (::lstat(path.constData(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return ZEKJobFile::Identity{status.st_dev, status.st_ino, status.st_size,
                                qint64(status.st_mtim.tv_sec) * 1'000'000'000 +
                                    status.st_mtim.tv_nsec};
}

} // namespace

QString ZEKJobLedger::stateDirectory()
{
    const QString service = qEnvironmentVariable("STATE_DIRECTORY").section(u':', 0, 0);
    if (!service.isEmpty()) {
        return service;
    }
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.startsWith(u'/')) {
        return state + u"/ZEK"_s;
    }
    return QDir::homePath() + u"/.local/state/ZEK"_s;
}

ZEKJobLedger::ZEKJobLedger(QString directory) : directory_(std::move(directory))
{
    load();
}

QString ZEKJobLedger::fileName() const
{
    return directory_ + u"/jobs.json"_s;
}

bool ZEKJobLedger::wasDelivered(const ZEKJobFile::Identity &identity) const
{
    return std::any_of(delivered_.cbegin(), delivered_.cend(),
                       [&](const Entry &entry) { return entry.identity == identity; });
}

bool ZEKJobLedger::wasDelivered(const QByteArray &path) const
{
    const std::optional<ZEKJobFile::Identity> identity = identityAt(path);
    return identity && wasDelivered(*identity);
}

bool ZEKJobLedger::rememberDelivered(const QByteArray &path, const ZEKJobFile::Identity &identity,
                                     QString *error)
{
    if (!wasDelivered(identity)) {
        delivered_.append({path, identity});
    }
    return save(error);
}

void ZEKJobLedger::setStatus(const QByteArray &path, const Status &status)
{
    statuses_.insert(path, status);
    QString ignored;
    save(&ignored);
}

void ZEKJobLedger::forgetStatus(const QByteArray &path)
{
    QString ignored;
    if (statuses_.remove(path)) {
        save(&ignored);
    }
}

void ZEKJobLedger::load()
{
    QFile file(fileName());
    if (!file.open(QIODevice::ReadOnly)) {
        return;
    }
    const QJsonObject ledger = QJsonDocument::fromJson(file.readAll()).object();
    for (const QJsonValue &value : ledger.value(u"jobs"_s).toArray()) {
        const QJsonObject job = value.toObject();
        const QByteArray path =
            QByteArray::fromPercentEncoding(job.value(u"path"_s).toString().toLatin1());
        // A job that is gone since is nothing to know any more.
        if (identityAt(path)) {
            statuses_.insert(
                path,
                {job.value(u"state"_s).toString(), job.value(u"error"_s).toString(),
                 QDateTime::fromString(job.value(u"attempted"_s).toString(), Qt::ISODateWithMs)});
        }
    }
    const QJsonArray jobs = ledger.value(u"delivered"_s).toArray();
    for (const QJsonValue &value : jobs) {
        const QJsonObject job = value.toObject();
        const Entry entry{
            QByteArray::fromPercentEncoding(job.value(u"path"_s).toString().toLatin1()),
            {dev_t(job.value(u"device"_s).toInteger()), ino_t(job.value(u"inode"_s).toInteger()),
             job.value(u"size"_s).toInteger(), job.value(u"modified"_s).toInteger()}};
        // A job that was deleted since (by hand, say) is nothing to remember any more.
        if (identityAt(entry.path) == entry.identity) {
            delivered_.append(entry);
        }
    }
}

bool ZEKJobLedger::save(QString *error) const
{
    QJsonArray jobs;
    for (const Entry &entry : delivered_) {
        // Names need not be UTF-8: kept percent-encoded.
        jobs.append(QJsonObject{{u"path"_s, QString::fromLatin1(entry.path.toPercentEncoding("/"))},
                                {u"device"_s, qint64(entry.identity.device)},
                                {u"inode"_s, qint64(entry.identity.inode)},
                                {u"size"_s, entry.identity.size},
                                {u"modified"_s, entry.identity.modified}});
    }
    QJsonArray states;
    for (auto status = statuses_.cbegin(); status != statuses_.cend(); ++status) {
        states.append(
            QJsonObject{{u"path"_s, QString::fromLatin1(status.key().toPercentEncoding("/"))},
                        {u"state"_s, status->state},
                        {u"error"_s, status->error},
                        {u"attempted"_s, status->attempted.isValid()
                                             ? status->attempted.toString(Qt::ISODateWithMs)
                                             : QString()}});
    }
    if (!QDir().mkpath(directory_)) {
        *error = u"cannot make %1"_s.arg(directory_);
        return false;
    }
    QFile::setPermissions(directory_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QSaveFile file(fileName());
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(
            QJsonDocument(QJsonObject{{u"delivered"_s, jobs}, {u"jobs"_s, states}}).toJson()) < 0 ||
        !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}
