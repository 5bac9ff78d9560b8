#include "HCHTTPRules.h"

using namespace Qt::StringLiterals;

bool HCIsIdempotentMethod(const QByteArray &method)
{
    for (const char *idempotent : {"GET", "HEAD", "OPTIONS", "TRACE", "PUT", "DELETE"}) {
        if (method == idempotent) {
            return true;
        }
    }
    return false;
}

bool HCIsRedirectStatus(long status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool HCIsHTTPS(const QUrl &URL)
{
    return URL.scheme().compare(u"https"_s, Qt::CaseInsensitive) == 0;
}

int HCPortOf(const QUrl &URL)
{
    return URL.port(HCIsHTTPS(URL) ? 443 : 80);
}

bool HCIsSameOrigin(const QUrl &one, const QUrl &other)
{
    return one.scheme().compare(other.scheme(), Qt::CaseInsensitive) == 0 &&
           one.host().compare(other.host(), Qt::CaseInsensitive) == 0 &&
           HCPortOf(one) == HCPortOf(other);
}

bool HCIsCredentialHeaderField(const QString &name)
{
    return name.compare(u"Authorization"_s, Qt::CaseInsensitive) == 0 ||
           name.compare(u"Cookie"_s, Qt::CaseInsensitive) == 0;
}
