// String encodings on ICU; transliteration is tested through the User-Agent field.

#include "StringEncoding.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace zek;

namespace {

// UTF-8, Latin-1 and Shift_JIS are pinned through the query escaping, the check for ASCII
// through the User-Agent field, a lone surrogate through the response serializer.
TEST(StringEncodingTest, EncodesInTheChosenEncodingOrFails)
{
    EXPECT_EQ(encodeString(u"€"_s, NSWindowsCP1252StringEncoding), QByteArray("\x80"));
    EXPECT_EQ(encodeString(QString(), NSUTF8StringEncoding), QByteArray());
    EXPECT_EQ(encodeString(u"Zürich €"_s, NSASCIIStringEncoding, true), QByteArray("Z?rich ?"));
    EXPECT_FALSE(encodeString(u"a"_s, 9999, true)) << "unknown encoding";
}

// Multipart framing and percent-escapes are written through these encodings,
// so an available one must be able to write ASCII unchanged.
TEST(StringEncodingTest, AvailableEncodingsWriteASCIIUnchanged)
{
    const QString ascii = u"--Boundary+09AZaz\r\nContent-Type: a/b; name=\"n\"%3F&=?"_s;
    int available = 0;
    for (NSStringEncoding encoding = 0; encoding <= 40; ++encoding) {
        const auto bytes = encodeString(ascii, encoding);
        EXPECT_EQ(isEncodingAvailable(encoding), bytes.has_value()) << encoding;
        if (bytes) {
            ++available;
            EXPECT_EQ(*bytes, ascii.toLatin1()) << encoding;
        }
    }
    EXPECT_EQ(available, 8) << "each encoding named in StringEncoding.h, UTF-16 (10) not";
}

} // namespace
