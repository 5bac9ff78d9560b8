#pragma once

#include <QString>
#include <QVariant>

namespace zek {

// The text form of a value, as it appears in queries, sort keys and log
// lines: strings as they are, integers in decimal, booleans "1" or "0",
// the null object (QVariant::fromValue(nullptr)) "<null>", bytes as
// hexadecimal in angle brackets, dictionaries, arrays and sets as compact
// JSON. No value (an invalid QVariant) gives a null string.
QString description(const QVariant &value);

} // namespace zek
