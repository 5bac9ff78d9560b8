#include "HCDefaultHeaderFields.h"

#include "StringEncoding.h"
#include "Transliteration.h"
#include "ZEKIdentity.h"

#include <QLocale>
#include <sys/utsname.h>

QString HCAcceptLanguageFromPreferredLanguages(const QStringList &preferredLanguages)
{
    QStringList entries;
    for (qsizetype index = 0; index < preferredLanguages.size(); ++index) {
        // Single precision, so that the sixth entry comes out at exactly 0.5.
        const float q = 1.0f + static_cast<float>(index) * -0.1f;
        entries.append(preferredLanguages[index] + QString::asprintf(";q=%0.1g", q));
        if (q <= 0.5f) {
            break;
        }
    }
    return entries.join(QStringLiteral(", "));
}

QStringList HCPreferredLanguages()
{
    QStringList languages = QLocale::system().uiLanguages();
    for (QString &language : languages) {
        if (language == u"C") {
            language = QStringLiteral("en");
        }
    }
    return languages;
}

QString HCUserAgentFromComponents(const QString &product, const QString &version,
                                  const QString &systemName, const QString &systemRelease)
{
    const QString agent =
        QStringLiteral("%1/%2 (%3 %4)").arg(product, version, systemName, systemRelease);
    if (zek::canBeConverted(agent, zek::NSASCIIStringEncoding)) {
        return agent;
    }
    return zek::transliterate(agent, QStringLiteral("Any-Latin; Latin-ASCII; [:^ASCII:] Remove"))
        .value_or(agent);
}

QString HCDefaultUserAgent()
{
    struct utsname system {};
    uname(&system);
    return HCUserAgentFromComponents(
        QString::fromUtf8(zek::kApplicationName), QString::fromUtf8(zek::kVersion),
        QString::fromUtf8(system.sysname), QString::fromUtf8(system.release));
}
