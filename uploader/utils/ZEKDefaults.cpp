#include "ZEKDefaults.h"

#include "ZEKIdentity.h"

#include <QMap>
#include <QSettings>
#include <memory>

namespace {

const QString kScheme = QStringLiteral("scheme");
const QString kIp = QStringLiteral("ip");
const QString kPort = QStringLiteral("port");
const QString kPath = QStringLiteral("path");

// A QSettings object per access is cheap: the objects of one process share
// what they read and write.
std::unique_ptr<QSettings> store()
{
    return std::make_unique<QSettings>(QString::fromUtf8(zek::kOrganizationName),
                                       QString::fromUtf8(zek::kApplicationName));
}

// What could not be written (a read-only home, as for a system service) is
// kept here for the life of the process, so that it is read back all the same.
QMap<QString, QString> &unwritten()
{
    static QMap<QString, QString> values;
    return values;
}

QString value(const QString &key)
{
    const QVariant stored = store()->value(key);
    return stored.isValid() ? stored.toString() : unwritten().value(key);
}

void setValue(const QString &key, const QString &value)
{
    if (value.isEmpty()) {
        return;
    }
    const auto settings = store();
    settings->setValue(key, value);
    settings->sync();
    if (settings->status() == QSettings::NoError) {
        unwritten().remove(key);
    } else {
        unwritten().insert(key, value);
    }
}

} // namespace

ZEKDefaults &ZEKDefaults::standardUserDefaults()
{
    static ZEKDefaults *const shared = new ZEKDefaults;
    return *shared;
}

QString ZEKDefaults::scheme() const
{
    return value(kScheme);
}
QString ZEKDefaults::ip() const
{
    return value(kIp);
}
QString ZEKDefaults::port() const
{
    return value(kPort);
}
QString ZEKDefaults::path() const
{
    return value(kPath);
}

void ZEKDefaults::setScheme(const QString &value)
{
    setValue(kScheme, value);
}
void ZEKDefaults::setIp(const QString &value)
{
    setValue(kIp, value);
}
void ZEKDefaults::setPort(const QString &value)
{
    setValue(kPort, value);
}
void ZEKDefaults::setPath(const QString &value)
{
    setValue(kPath, value);
}

void ZEKDefaults::defineZEKDefaultsForce(bool force)
{
    const struct {
        QString (ZEKDefaults::*get)() const;
        void (ZEKDefaults::*set)(const QString &);
        const char *fallback;
    } settings[] = {{&ZEKDefaults::scheme, &ZEKDefaults::setScheme, kDefaultScheme},
                    {&ZEKDefaults::ip, &ZEKDefaults::setIp, kDefaultIp},
                    {&ZEKDefaults::port, &ZEKDefaults::setPort, kDefaultPort},
                    {&ZEKDefaults::path, &ZEKDefaults::setPath, kDefaultPath}};
    for (const auto &setting : settings) {
        if (force || (this->*setting.get)().isNull()) {
            (this->*setting.set)(QString::fromUtf8(setting.fallback));
        }
    }
}

void ZEKDefaults::resetZEKDefaults()
{
    const auto settings = store();
    for (const QString &key : {kScheme, kIp, kPort, kPath}) {
        settings->remove(key);
        unwritten().remove(key);
    }
}

QString ZEKDefaults::fileName() const
{
    return store()->fileName();
}
