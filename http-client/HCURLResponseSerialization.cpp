#include "HCURLResponseSerialization.h"

std::optional<zek::Error>
HCErrorWithUnderlyingError(const std::optional<zek::Error> &error,
                           const std::optional<zek::Error> &underlyingError)
{
    if (!error) {
        return underlyingError;
    }
    if (!underlyingError || error->userInfo().contains(zek::NSUnderlyingErrorKey)) {
        return error;
    }
    QVariantMap userInfo = error->userInfo();
    userInfo.insert(zek::NSUnderlyingErrorKey, QVariant::fromValue(*underlyingError));
    return zek::Error(error->domain(), error->code(), userInfo);
}

bool HCErrorOrUnderlyingErrorHasCodeInDomain(const std::optional<zek::Error> &error, qint64 code,
                                             const QString &domain)
{
    for (std::optional<zek::Error> current = error; current;) {
        if (current->domain() == domain && current->code() == code) {
            return true;
        }
        const QVariant underlying = current->userInfo().value(zek::NSUnderlyingErrorKey);
        current.reset();
        if (underlying.metaType() == QMetaType::fromType<zek::Error>()) {
            current = underlying.value<zek::Error>();
        }
    }
    return false;
}
