#include "Transliteration.h"

#include <memory>
#include <unicode/translit.h>
#include <unicode/unistr.h>

namespace zek {

std::optional<QString> transliterate(const QString &text, const QString &transform)
{
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString identifier(reinterpret_cast<const char16_t *>(transform.utf16()),
                                        static_cast<int32_t>(transform.size()));
    std::unique_ptr<icu::Transliterator> transliterator(
        icu::Transliterator::createInstance(identifier, UTRANS_FORWARD, status));
    if (U_FAILURE(status) || !transliterator) {
        return std::nullopt;
    }
    icu::UnicodeString result(reinterpret_cast<const char16_t *>(text.utf16()),
                              static_cast<int32_t>(text.size()));
    transliterator->transliterate(result);
    return QString(reinterpret_cast<const QChar *>(result.getBuffer()), result.length());
}

} // namespace zek
