#include "StringEncoding.h"

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

// Null when the encoding is unknown or ICU lacks its converter.
Converter openConverter(NSStringEncoding encoding)
{
    const char *name = converterName(encoding);
    if (name == nullptr) {
        return nullptr;
    }
    UErrorCode status = U_ZERO_ERROR;
    Converter converter(ucnv_open(name, &status));
    return U_SUCCESS(status) ? std::move(converter) : nullptr;
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

} // namespace zek
