// String encodings and transliteration on ICU.

#include "StringEncoding.h"
#include "Transliteration.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace zek;

namespace {

TEST(StringEncoding, EncodesInTheChosenEncoding)
{
    EXPECT_EQ(encodeString(u"é€"_s, NSUTF8StringEncoding), QByteArray("\xC3\xA9\xE2\x82\xAC"));
    EXPECT_EQ(encodeString(u"é"_s, NSISOLatin1StringEncoding), QByteArray("\xE9"));
    EXPECT_EQ(encodeString(u"€"_s, NSWindowsCP1252StringEncoding), QByteArray("\x80"));
    EXPECT_EQ(encodeString(u"日本"_s, NSShiftJISStringEncoding), QByteArray("\x93\xFA\x96\x7B"));
    EXPECT_EQ(encodeString(QString(), NSUTF8StringEncoding), QByteArray());
}

TEST(StringEncoding, MissingCharactersFailUnlessLossIsAllowed)
{
    EXPECT_FALSE(canBeConverted(u"Zürich"_s, NSASCIIStringEncoding));
    EXPECT_TRUE(canBeConverted(u"Zurich"_s, NSASCIIStringEncoding));
    EXPECT_EQ(encodeString(u"Zürich €"_s, NSASCIIStringEncoding, true), QByteArray("Z?rich ?"));
    EXPECT_FALSE(encodeString(QString(QChar(0xD800)), NSUTF8StringEncoding)) << "lone surrogate";
    EXPECT_FALSE(encodeString(u"a"_s, 9999, true)) << "unknown encoding";
}

// Multipart framing and percent-escapes are written through these encodings,
// so an available one must be able to write ASCII unchanged.
TEST(StringEncoding, AvailableEncodingsWriteASCIIUnchanged)
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

TEST(Transliteration, TurnsAnyScriptIntoASCII)
{
    const QString rule = u"Any-Latin; Latin-ASCII; [:^ASCII:] Remove"_s;
    EXPECT_EQ(transliterate(u"Zëk Ûploader"_s, rule), u"Zek Uploader"_s);
    EXPECT_EQ(transliterate(u"Печать ☃"_s, rule), u"Pecat' "_s);
    EXPECT_FALSE(transliterate(u"text"_s, u"No-Such-Transform"_s));
}

} // namespace
