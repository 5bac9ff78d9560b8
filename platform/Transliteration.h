#pragma once

#include <QString>
#include <optional>

namespace zek {

// Applies an ICU transform, given by its identifier (for example
// "Any-Latin; Latin-ASCII"), forward to text. Absent when ICU does not
// accept the identifier.
std::optional<QString> transliterate(const QString &text, const QString &transform);

} // namespace zek
