#pragma once

#include "Error.h"

#include <QByteArray>
#include <QVariant>
#include <optional>

namespace zek {

// Reading options of the JSON parser, by the platform's bit values.
using NSJSONReadingOptions = unsigned long;
inline constexpr NSJSONReadingOptions NSJSONReadingMutableContainers = 1;
inline constexpr NSJSONReadingOptions NSJSONReadingMutableLeaves = 2;
inline constexpr NSJSONReadingOptions NSJSONReadingFragmentsAllowed = 4;

// The value of JSON text in UTF-8 as a QVariant tree: objects become
// QVariantMap, arrays QVariantList, null QVariant::fromValue(nullptr),
// integral numbers qint64, other numbers double. The text must be one object
// or array unless options has NSJSONReadingFragmentsAllowed, which admits a
// lone string, number, boolean or null too.
//
// No value (an invalid QVariant) when the text is not strictly valid JSON
// (RFC 8259: no raw control characters, unknown escapes or unpaired surrogate
// escapes in strings, no numbers such as "-0." or "01"), with an error in
// NSCocoaErrorDomain, code NSPropertyListReadCorruptError, in
// *error when error is given.
//
// The two mutable bits change nothing: a QVariant tree is a value that its
// holder may always change and that nobody else sees change.
QVariant JSONObjectWithData(const QByteArray &data, NSJSONReadingOptions options,
                            std::optional<Error> *error);

} // namespace zek
