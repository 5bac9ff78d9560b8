#include "StringEncoding.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>

namespace zek {

namespace {

const char *converterName(NSStringEncoding encoding)
{
    switch (encoding) {
    case NSASCIIStringEncoding:
        return "US-ASCII";
    case NSJapaneseEUCStringEncoding:
        return "EUC-JP";
    case NSUTF8StringEncoding:
        return "UTF-8";
    case NSISOLatin1StringEncoding:
        return "ISO-8859-1";
    case NSShiftJISStringEncoding:
        return "Shift_JIS";
    case NSISOLatin2StringEncoding:
        return "ISO-8859-2";
    case NSWindowsCP1251StringEncoding:
        return "windows-1251";
    case NSWindowsCP1252StringEncoding:
        return "windows-1252";
    default:
        return nullptr;
    }
}

struct ConverterCloser {
    void operator()(UConverter *converter) const { ucnv_close(converter); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

// Null when the name is null or ICU lacks its converter. An empty name would
// open ICU's default converter, so it counts as unknown too.
Converter openConverter(const char *name)
{
    if (name == nullptr || *name == '\0') {
        return nullptr;
    }
    UErrorCode status = U_ZERO_ERROR;
    Converter converter(ucnv_open(name, &status));
    return U_SUCCESS(status) ? std::move(converter) : nullptr;
}

Converter openConverter(NSStringEncoding encoding)
{
    return openConverter(converterName(encoding));
}

// ICU's converter name for an IANA charset name, or null. MIME names are
// looked up too, as replies name their charset the way mail does.
const char *converterNameForIANAName(QStringView name)
{
    const bool ascii =
        std::all_of(name.begin(), name.end(), [](QChar c) { return c.unicode() < 0x80; });
    if (name.isEmpty() || !ascii) {
        return nullptr;
    }
    const QByteArray latin1 = name.toLatin1();
    for (const char *standard : {"IANA", "MIME"}) {
        UErrorCode status = U_ZERO_ERROR;
        const char *canonical = ucnv_getCanonicalName(latin1.constData(), standard, &status);
        if (U_SUCCESS(status) && canonical != nullptr) {
            return canonical;
        }
    }
    return nullptr;
}

std::optional<QString> decode(const QByteArray &bytes, UConverter *converter)
{
    if (converter == nullptr) {
        return std::nullopt;
    }
    UErrorCode status = U_ZERO_ERROR;
    ucnv_setToUCallBack(converter, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    // ICU counts in 32 bits; a larger input is refused rather than cut short.
    if (bytes.size() > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    const auto sourceLength = static_cast<int32_t>(bytes.size());
    // The first call only measures; it also finds malformed bytes.
    const int32_t length =
        ucnv_toUChars(converter, nullptr, 0, bytes.constData(), sourceLength, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) {
        return std::nullopt;
    }
    QString text(length, Qt::Uninitialized);
    status = U_ZERO_ERROR;
    ucnv_toUChars(converter, reinterpret_cast<UChar *>(text.data()), length, bytes.constData(),
                  sourceLength, &status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    return text;
}

} // namespace

bool isEncodingAvailable(NSStringEncoding encoding)
{
    return openConverter(encoding) != nullptr;
}

std::optional<QByteArray> encodeString(const QString &text, NSStringEncoding encoding,
                                       bool allowLossyConversion)
{
    Converter converter = openConverter(encoding);
    if (!converter) {
        return std::nullopt;
    }
    UErrorCode status = U_ZERO_ERROR;
    if (allowLossyConversion) {
        ucnv_setSubstChars(converter.get(), "?", 1, &status);
    } else {
        ucnv_setFromUCallBack(converter.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                              &status);
    }
    if (U_FAILURE(status)) {
        return std::nullopt;
    }

    if (text.size() > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    const auto *source = reinterpret_cast<const UChar *>(text.utf16());
    const auto sourceLength = static_cast<int32_t>(text.size());
    // The first call only measures.
    const int32_t length =
        ucnv_fromUChars(converter.get(), nullptr, 0, source, sourceLength, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) {
        return std::nullopt;
    }
    QByteArray bytes(length, Qt::Uninitialized);
    status = U_ZERO_ERROR;
    ucnv_fromUChars(converter.get(), bytes.data(), length, source, sourceLength, &status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    return bytes;
}

bool canBeConverted(const QString &text, NSStringEncoding encoding)
{
    return encodeString(text, encoding).has_value();
}

std::optional<QString> decodeString(const QByteArray &bytes, NSStringEncoding encoding)
{
    return decode(bytes, openConverter(encoding).get());
}

bool isIANACharSetNameKnown(QStringView name)
{
    return openConverter(converterNameForIANAName(name)) != nullptr;
}

std::optional<QString> decodeStringInCharSet(const QByteArray &bytes, QStringView IANAName)
{
    return decode(bytes, openConverter(converterNameForIANAName(IANAName)).get());
}

} // namespace zek
