#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace zek {

// String encodings, identified by the platform's numbers; each maps to an
// ICU converter.
using NSStringEncoding = unsigned long;
inline constexpr NSStringEncoding NSASCIIStringEncoding = 1;
inline constexpr NSStringEncoding NSJapaneseEUCStringEncoding = 3;
inline constexpr NSStringEncoding NSUTF8StringEncoding = 4;
inline constexpr NSStringEncoding NSISOLatin1StringEncoding = 5;
inline constexpr NSStringEncoding NSShiftJISStringEncoding = 8;
inline constexpr NSStringEncoding NSISOLatin2StringEncoding = 9;
inline constexpr NSStringEncoding NSWindowsCP1251StringEncoding = 11;
inline constexpr NSStringEncoding NSWindowsCP1252StringEncoding = 12;

// The bytes of text in the encoding. Absent when the encoding is unknown or,
// unless lossy conversion is allowed, when a character has no form in it;
// a lossy conversion writes "?" for such characters.
std::optional<QByteArray> encodeString(const QString &text, NSStringEncoding encoding,
                                       bool allowLossyConversion = false);

// Whether text can be written in the encoding at all. Each of these writes
// ASCII characters as the same single bytes, which multipart framing and
// percent-escaping rely on; encodings such as UTF-16 are not offered.
bool isEncodingAvailable(NSStringEncoding encoding);

// Whether text has a lossless form in the encoding.
bool canBeConverted(const QString &text, NSStringEncoding encoding);

// The text that bytes in the encoding stand for. Absent when the encoding is
// unknown or the bytes are not valid in it (no character is replaced).
std::optional<QString> decodeString(const QByteArray &bytes, NSStringEncoding encoding);

// Whether ICU knows a charset by this IANA name or one of its registered
// aliases, letter case and punctuation aside ("UTF-8", "utf8", "latin1").
bool isIANACharSetNameKnown(QStringView name);

// decodeString for a charset named as in a Content-Type charset parameter.
// Absent also when the name is not known.
std::optional<QString> decodeStringInCharSet(const QByteArray &bytes, QStringView IANAName);

} // namespace zek
