#include "HCQueryStringPair.h"

#include "OrderedSet.h"
#include "ValueDescription.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool isUnreserved(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') ||
           u == u'-' || u == u'.' || u == u'_' || u == u'~';
}

// Escapes runs of characters at a time rather than single ones, so that a
// character stays whole in every encoding (surrogate pairs, multi-byte forms).
QString percentEscaped(const QString &string, QStringView literals, zek::NSStringEncoding encoding)
{
    const auto keepsLiteral = [literals](QChar c) {
        return isUnreserved(c) || literals.contains(c);
    };
    QString escaped;
    escaped.reserve(string.size());
    for (qsizetype start = 0; start < string.size();) {
        if (keepsLiteral(string[start])) {
            escaped += string[start++];
            continue;
        }
        qsizetype end = start + 1;
        while (end < string.size() && !keepsLiteral(string[end])) {
            ++end;
        }
        const auto bytes = zek::encodeString(string.mid(start, end - start), encoding, true);
        if (!bytes) {
            return {};
        }
        for (const char byte : *bytes) {
            const auto value = static_cast<uchar>(byte);
            escaped += u'%';
            escaped += QLatin1Char(kHexDigits[value >> 4]);
            escaped += QLatin1Char(kHexDigits[value & 0xF]);
        }
        start = end;
    }
    return escaped;
}

bool isNullObject(const QVariant &value)
{
    return value.metaType().id() == QMetaType::Nullptr;
}

} // namespace

QString HCPercentEscapedQueryStringKeyFromStringWithEncoding(const QString &string,
                                                             zek::NSStringEncoding encoding)
{
    // "." is unreserved already; "[" and "]" keep the key path readable.
    return percentEscaped(string, u"[]", encoding);
}

QString HCPercentEscapedQueryStringValueFromStringWithEncoding(const QString &string,
                                                               zek::NSStringEncoding encoding)
{
    return percentEscaped(string, {}, encoding);
}

QString
HCQueryStringPair::URLEncodedStringValueWithEncoding(zek::NSStringEncoding stringEncoding) const
{
    const QString key =
        HCPercentEscapedQueryStringKeyFromStringWithEncoding(field_, stringEncoding);
    if (!value_.isValid() || isNullObject(value_)) {
        return key;
    }
    return key + u'=' +
           HCPercentEscapedQueryStringValueFromStringWithEncoding(zek::description(value_),
                                                                  stringEncoding);
}

QList<HCQueryStringPair> HCQueryStringPairsFromDictionary(const QVariantMap &dictionary)
{
    return HCQueryStringPairsFromKeyAndValue(QString(), dictionary);
}

QList<HCQueryStringPair> HCQueryStringPairsFromKeyAndValue(const QString &key,
                                                           const QVariant &value)
{
    QList<HCQueryStringPair> pairs;
    const QMetaType type = value.metaType();
    if (type == QMetaType::fromType<QVariantMap>()) {
        // A QVariantMap already iterates its keys in ordinal order.
        const QVariantMap dictionary = value.toMap();
        for (auto entry = dictionary.cbegin(); entry != dictionary.cend(); ++entry) {
            const QString nestedKey = key.isNull() ? entry.key() : key + u'[' + entry.key() + u']';
            pairs += HCQueryStringPairsFromKeyAndValue(nestedKey, entry.value());
        }
    } else if (type == QMetaType::fromType<QVariantList>() ||
               type == QMetaType::fromType<QStringList>()) {
        const QString elementKey = key + u"[]"_s;
        for (const QVariant &element : value.toList()) {
            pairs += HCQueryStringPairsFromKeyAndValue(elementKey, element);
        }
    } else if (type == QMetaType::fromType<zek::OrderedSet>()) {
        QVariantList elements = value.value<zek::OrderedSet>().values();
        std::stable_sort(elements.begin(), elements.end(),
                         [](const QVariant &a, const QVariant &b) {
                             return zek::description(a) < zek::description(b);
                         });
        for (const QVariant &element : elements) {
            pairs += HCQueryStringPairsFromKeyAndValue(key, element);
        }
    } else {
        pairs.append(HCQueryStringPair(key, value));
    }
    return pairs;
}
