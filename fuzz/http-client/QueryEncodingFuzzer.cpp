// Parameters encoded into a URL's query and into a form body must decode back,
// by a decoder written apart from the encoder, to exactly the parameters that
// went in, whatever text their keys and values hold.

#include "FuzzCheck.h"
#include "HCHTTPRequestSerializer.h"

#include <QUrl>
#include <QVariantMap>
#include <fuzzer/FuzzedDataProvider.h>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

using Pair = std::pair<QString, std::optional<QString>>; // a null value has no "="

QString textFrom(FuzzedDataProvider &data)
{
    const std::string bytes = data.ConsumeRandomLengthString(64);
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// Parameters of the shapes a caller passes: text, the null object, lists of
// text and one level of nested dictionaries; and the pairs they stand for,
// flattened here by their own rules.
QVariantMap parametersFrom(FuzzedDataProvider &data, QList<Pair> &expected)
{
    QVariantMap parameters;
    const int count = data.ConsumeIntegralInRange(0, 6);
    for (int i = 0; i < count; ++i) {
        const QString key = textFrom(data);
        switch (data.ConsumeIntegralInRange(0, 3)) {
        case 0:
            parameters.insert(key, textFrom(data));
            break;
        case 1:
            parameters.insert(key, QVariant::fromValue(nullptr));
            break;
        case 2: {
            QVariantList list;
            for (int n = data.ConsumeIntegralInRange(0, 3); n > 0; --n) {
                list.append(textFrom(data));
            }
            parameters.insert(key, list);
            break;
        }
        default: {
            QVariantMap nested;
            for (int n = data.ConsumeIntegralInRange(0, 3); n > 0; --n) {
                nested.insert(textFrom(data), textFrom(data));
            }
            parameters.insert(key, nested);
            break;
        }
        }
    }
    // Keys in the order of their UTF-16 code units, which is QMap's own.
    for (auto entry = parameters.cbegin(); entry != parameters.cend(); ++entry) {
        const QVariant &value = entry.value();
        if (value.metaType() == QMetaType::fromType<QVariantList>()) {
            for (const QVariant &element : value.toList()) {
                expected.append({entry.key() + u"[]"_s, element.toString()});
            }
        } else if (value.metaType() == QMetaType::fromType<QVariantMap>()) {
            const QVariantMap nested = value.toMap();
            for (auto inner = nested.cbegin(); inner != nested.cend(); ++inner) {
                expected.append(
                    {entry.key() + u'[' + inner.key() + u']', inner.value().toString()});
            }
        } else if (value.metaType().id() == QMetaType::Nullptr) {
            expected.append({entry.key(), std::nullopt});
        } else {
            expected.append({entry.key(), value.toString()});
        }
    }
    return parameters;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1; // the encoder writes upper-case digits only
}

bool isUnreserved(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// RFC 3986 percent-decoding of one key or value, which must hold nothing but
// escapes and the characters allowed to stand for themselves.
std::optional<QString> decoded(const QByteArray &escaped, bool isKey)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < escaped.size(); ++i) {
        const char c = escaped.at(i);
        if (c == '%') {
            if (i + 2 >= escaped.size()) {
                return std::nullopt;
            }
            const int high = hexValue(escaped.at(i + 1));
            const int low = hexValue(escaped.at(i + 2));
            if (high < 0 || low < 0) {
                return std::nullopt;
            }
            bytes.append(static_cast<char>(high * 16 + low));
            i += 2;
        } else if (isUnreserved(c) || (isKey && (c == '[' || c == ']'))) {
            bytes.append(c);
        } else {
            return std::nullopt;
        }
    }
    return QString::fromUtf8(bytes);
}

QList<Pair> decodedPairs(const QByteArray &encoded, qsizetype expectedCount)
{
    QList<Pair> pairs;
    // No pairs and one pair of an empty key without value both read "".
    if (expectedCount == 0) {
        ZEK_FUZZ_CHECK(encoded.isEmpty(), "no parameters give no text");
        return pairs;
    }
    for (const QByteArray &piece : encoded.split('&')) {
        const qsizetype equals = piece.indexOf('=');
        const auto key = decoded(equals < 0 ? piece : piece.left(equals), true);
        ZEK_FUZZ_CHECK(key.has_value(), "a key holds only escapes and allowed characters");
        std::optional<QString> value;
        if (equals >= 0) {
            value = decoded(piece.mid(equals + 1), false);
            ZEK_FUZZ_CHECK(value.has_value(),
                           "a value holds only escapes and unreserved characters");
        }
        pairs.append({*key, value});
    }
    return pairs;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider data(bytes, size);
    QList<Pair> expected;
    const QVariantMap parameters = parametersFrom(data, expected);
    const auto serializer = HCHTTPRequestSerializer::serializer();

    std::optional<zek::Error> error;
    const auto form = serializer->requestWithMethod(u"POST"_s, u"http://device.invalid/print"_s,
                                                    parameters, &error);
    ZEK_FUZZ_CHECK(form && !error, "a form request is made");
    ZEK_FUZZ_CHECK(decodedPairs(form->HTTPBody(), expected.size()) == expected,
                   "the form body decodes to the parameters");

    const auto query = serializer->requestWithMethod(u"GET"_s, u"http://device.invalid/print"_s,
                                                     parameters, &error);
    ZEK_FUZZ_CHECK(query && !error, "a query request is made");
    const QUrl URL = query->URL();
    ZEK_FUZZ_CHECK(URL.isValid() && URL.path() == u"/print", "the URL stays valid");
    ZEK_FUZZ_CHECK(decodedPairs(URL.query(QUrl::FullyEncoded).toUtf8(), expected.size()) ==
                       expected,
                   "the query decodes to the parameters");
    return 0;
}
