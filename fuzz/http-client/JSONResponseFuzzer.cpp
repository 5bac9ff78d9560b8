// A device's reply, every part of it arbitrary (status, MIME type, charset,
// body bytes), through the JSON response serializer: it never crashes, and
// it succeeds exactly when the status is 2xx, the type is one of the JSON
// types and the body, decoded in its charset, is a JSON object or array, as
// judged by a validator written here from the grammar.

#include "FuzzCheck.h"
#include "HCJSONResponseSerializer.h"

#include <QStringConverter>
#include <cmath>
#include <fuzzer/FuzzedDataProvider.h>

using namespace Qt::StringLiterals;

namespace {

// Deeper nesting is refused, as a guard against stack exhaustion.
constexpr int kMaximumDepth = 1024;

bool isHexDigit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

class JSONValidator {
public:
    explicit JSONValidator(QStringView text) : text_(text) {}

    // RFC 8259 text whose top level is an object or an array.
    bool isDocument()
    {
        skipSpace();
        if (at_ >= text_.size() || (peek() != u'{' && peek() != u'[')) {
            return false;
        }
        if (!value(0)) {
            return false;
        }
        skipSpace();
        return at_ == text_.size();
    }

private:
    QChar peek() const { return text_.at(at_); }
    bool take(QChar c)
    {
        if (at_ < text_.size() && peek() == c) {
            ++at_;
            return true;
        }
        return false;
    }
    void skipSpace()
    {
        while (at_ < text_.size() &&
               (peek() == u' ' || peek() == u'\t' || peek() == u'\n' || peek() == u'\r')) {
            ++at_;
        }
    }
    bool literal(QStringView word)
    {
        if (text_.mid(at_).startsWith(word)) {
            at_ += word.size();
            return true;
        }
        return false;
    }
    bool digits()
    {
        const qsizetype start = at_;
        while (at_ < text_.size() && peek() >= u'0' && peek() <= u'9') {
            ++at_;
        }
        return at_ > start;
    }
    bool number()
    {
        const qsizetype start = at_;
        take(u'-');
        if (!take(u'0') && !digits()) {
            return false;
        }
        if (take(u'.') && !digits()) {
            return false;
        }
        if ((take(u'e') || take(u'E')) && (take(u'+') || take(u'-') || true) && !digits()) {
            return false;
        }
        // A number no double can hold is refused rather than made infinite.
        return std::isfinite(text_.sliced(start, at_ - start).toString().toDouble());
    }
    bool string()
    {
        if (!take(u'"')) {
            return false;
        }
        while (at_ < text_.size()) {
            const QChar c = text_.at(at_++);
            if (c == u'"') {
                return true;
            }
            if (c.unicode() < 0x20) {
                return false;
            }
            if (c == u'\\') {
                if (at_ >= text_.size()) {
                    return false;
                }
                const QChar escaped = text_.at(at_++);
                if (escaped == u'u') {
                    // Surrogates escaped must pair up: text is Unicode.
                    const int unit = hexUnit();
                    if (unit < 0 || QChar::isLowSurrogate(unit)) {
                        return false;
                    }
                    if (QChar::isHighSurrogate(unit) &&
                        !(literal(u"\\u") && QChar::isLowSurrogate(hexUnit()))) {
                        return false;
                    }
                } else if (!QStringView(u"\"\\/bfnrt").contains(escaped)) {
                    return false;
                }
            }
        }
        return false;
    }
    // The four hexadecimal digits of a \\u escape as a code unit, or -1.
    int hexUnit()
    {
        int unit = 0;
        for (int i = 0; i < 4; ++i, ++at_) {
            if (at_ >= text_.size() || !isHexDigit(text_.at(at_))) {
                return -1;
            }
            unit = unit * 16 + QStringView(text_.sliced(at_, 1)).toInt(nullptr, 16);
        }
        return unit;
    }
    bool value(int depth)
    {
        if (depth >= kMaximumDepth) {
            return false;
        }
        skipSpace();
        if (at_ >= text_.size()) {
            return false;
        }
        if (take(u'{')) {
            skipSpace();
            if (take(u'}')) {
                return true;
            }
            do {
                skipSpace();
                if (!string()) {
                    return false;
                }
                skipSpace();
                if (!take(u':') || !value(depth + 1)) {
                    return false;
                }
                skipSpace();
            } while (take(u','));
            return take(u'}');
        }
        if (take(u'[')) {
            skipSpace();
            if (take(u']')) {
                return true;
            }
            do {
                if (!value(depth + 1)) {
                    return false;
                }
                skipSpace();
            } while (take(u','));
            return take(u']');
        }
        if (peek() == u'"') {
            return string();
        }
        if (peek() == u'-' || (peek() >= u'0' && peek() <= u'9')) {
            return number();
        }
        return literal(u"true") || literal(u"false") || literal(u"null");
    }

    QStringView text_;
    qsizetype at_ = 0;
};

struct Charset {
    const char16_t *name;  // null: no charset parameter
    bool isLatin1 = false; // else UTF-8
    bool known = true;     // whether the oracle knows how it decodes
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider data(bytes, size);
    static const char16_t *const types[] = {
        u"application/json", u"text/json", u"text/javascript", u"Application/JSON", u"text/html",
        u"text/plain",       nullptr};
    static const Charset charsets[] = {
        {nullptr},        {u"utf-8"}, {u"UTF-8"}, {u"\"utf-8\""}, {u"iso-8859-1", true},
        {u"latin1", true}};
    const qint64 status = data.ConsumeBool() ? data.ConsumeIntegralInRange<qint64>(100, 599)
                                             : data.ConsumeIntegral<qint64>();
    const char16_t *type = types[data.ConsumeIntegralInRange<size_t>(0, std::size(types) - 1)];
    const std::string randomType = data.ConsumeRandomLengthString(24);
    Charset charset = charsets[data.ConsumeIntegralInRange<size_t>(0, std::size(charsets) - 1)];
    const std::string randomCharset = data.ConsumeRandomLengthString(16);
    const bool randomizeCharset = data.ConsumeProbability<float>() < 0.1F;
    const bool removesNulls = data.ConsumeBool();
    const std::string body = data.ConsumeRemainingBytesAsString();

    QString MIMEType = type ? QString::fromUtf16(type) : QString::fromUtf8(randomType);
    QString contentType = MIMEType;
    QString charsetName = charset.name ? QString::fromUtf16(charset.name) : QString();
    if (randomizeCharset) {
        charsetName = QString::fromUtf8(randomCharset);
        charset.known = false;
    }
    if (!charsetName.isNull()) {
        contentType += u"; charset="_s + charsetName;
    }
    QList<std::pair<QString, QString>> headers;
    if (type != nullptr || !randomType.empty()) {
        headers.append({u"Content-Type"_s, contentType});
    }
    const HCHTTPURLResponse response(QUrl(u"http://device.invalid/api/print"_s), status, headers);
    const QByteArray bodyData(body.data(), static_cast<qsizetype>(body.size()));

    const auto serializer = HCJSONResponseSerializer::serializer();
    serializer->setRemovesKeysWithNullValues(removesNulls);
    std::optional<zek::Error> error;
    const QVariant object = serializer->responseObjectForResponse(response, bodyData, &error);
    const bool succeeded = object.isValid() && !error;

    const bool statusAcceptable = status >= 200 && status <= 299;
    const QString mime = response.MIMEType();
    const bool typeAcceptable =
        mime == u"application/json" || mime == u"text/json" || mime == u"text/javascript";
    if (!charset.known || type == nullptr) {
        ZEK_FUZZ_CHECK(!succeeded || (statusAcceptable && typeAcceptable),
                       "success only for an acceptable status and type");
        return 0;
    }
    const bool listedJSONType =
        type == types[0] || type == types[1] || type == types[2] || type == types[3];
    ZEK_FUZZ_CHECK(typeAcceptable == listedJSONType, "the MIME type is read from Content-Type");
    QString text;
    bool decodes = true;
    if (charset.isLatin1) {
        text = QString::fromLatin1(bodyData);
    } else {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        text = decoder(bodyData);
        decodes = !decoder.hasError();
    }
    const bool JSONAcceptable = decodes && JSONValidator(text).isDocument();
    ZEK_FUZZ_CHECK(succeeded == (statusAcceptable && typeAcceptable && JSONAcceptable),
                   "success exactly for an acceptable status, type and JSON body");
    if (statusAcceptable && typeAcceptable && decodes && !bodyData.isEmpty() && bodyData != " ") {
        ZEK_FUZZ_CHECK(succeeded || error.has_value(), "a body that is not JSON gives an error");
    }
    return 0;
}
