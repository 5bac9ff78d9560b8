#include "Title.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

TEST(TitleTest, WorkedExamples)
{
    const QString untitled = u"Untitled document"_s;
    const QString face = QString::fromUcs4(U"\U0001F600", 1); // two code units
    const struct {
        const char *job;
        QString title;
        QString expected; // after "job_<job> "
    } cases[] = {
        {"42", u"Quarterly report.pages"_s, u"Quarterly"_s},
        {"7", u"(stdin)"_s, untitled},
        {"2", u"(stdin)\n"_s, u"stdin"_s},
        {"1", u"Report\n"_s, u"Report"_s},
        {"15", u"/tmp/scans/Invoice_2018.pdf"_s, u"Invoice_2018"_s},
        {"3", u"C:\\Docs\\Plan.final.txt"_s, u"Plan.final"_s},
        {"9", u"Meeting 10:30"_s, u"Meeting 10"_s},
        {"5", u"(Minutes)"_s, u"Minutes"_s},
        {"8", u"--- Notes ---"_s, u"Notes"_s},
        {"4", u".profile"_s, untitled},
        {"13", u" Hello"_s, untitled},
        {"14", u"Hello"_s, u"Hello"_s},
        {"17", u"Invoice (copy).pdf"_s, u"Invoice"_s},
        {"19", u"Budget 2019 \u2013 final.xlsx"_s, u"Budget 2019"_s},
        {"21", u"Scan 2018-12-20 at 10.15.33.png"_s, u"Scan 2018-12-20 at"_s},
        {"12", u"The quick brown fox jumps over the lazy dog while everyone watches quietly"_s,
         u"The quick brown fox jumps over the lazy dog while everyone"_s},
        {"22", u"Annual general meeting of the association: minutes and resolutions 2018.docx"_s,
         u"Annual general meeting of the association  minutes and"_s},
        // Titles with nothing left are untitled.
        {"5", QString(), untitled},
        {"5", u""_s, untitled},
        {"5", u"\n\r\n"_s, untitled},
        {"6", u"()"_s, untitled},
        {"5", u"/"_s, untitled},
        {"5", u"."_s, untitled},
        {"5", u"("_s, untitled},
        {"5", u")"_s, untitled},
        {"5", u"a/"_s, untitled},
        // Newlines are trimmed only at the ends; a tab is no space for the last-word rule.
        {"1", u"\u2028Top\u0085"_s, u"Top"_s},
        {"1", u"One\nTwo\tThree"_s, u"One\nTwo\tThree"_s},
        // Only one pair of parentheses goes.
        {"1", u"((Deep))"_s, u"Deep"_s},
        {"1", u"(a)b)"_s, u"a)b"_s},
        // The length limit counts code units; a cut through a pair drops the half character.
        {"11", u"A"_s.repeated(70), u"A"_s.repeated(64)},
        {"1", u"b"_s.repeated(64), u"b"_s.repeated(64)},
        {"1", u"b"_s.repeated(65), u"b"_s.repeated(64)},
        {"1", face.repeated(33), face.repeated(32)},
        {"1", u"x"_s.repeated(63) + face + u"tail"_s, u"x"_s.repeated(63)},
        // Separators and extensions.
        {"1", u"a/b\\c.d:e f"_s, u"c"_s},
        {"1", u"dir.v2/notes"_s, u"notes"_s},
        {"1", u"Trip:Plan"_s, u"Trip"_s},
        // Punctuation goes before spaces, so spaces it uncovers go too; symbols are no punctuation.
        {"1", u"\u00BF Que tal? x"_s, u"Que tal"_s},
        {"1", u"\u00ABA-B\u00BB"_s, u"A-B"_s},
        {"1", u"$100+"_s, u"$100+"_s},
        // The job identifier is kept but never leaves the directory.
        {"0x 1%2", u"Doc"_s, u"Doc"_s},
        {"/../../etc/x", u"Doc"_s, u"Doc"_s},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.title.toStdString());
        const QString name = zek_prepare_title(c.title, QString::fromUtf8(c.job));
        const QString job = QString::fromUtf8(c.job).replace(u'/', u'_');
        EXPECT_EQ(name, u"job_"_s + job + u' ' + c.expected);
        // The name survives a round trip through UTF-8, as a file name must.
        EXPECT_EQ(QString::fromUtf8(name.toUtf8()), name);
    }
}

// What no file name can hold: NUL, half a surrogate pair, more than 255 bytes.
TEST(TitleTest, AlwaysMakesAValidFileName)
{
    const QChar lone[] = {QChar(0xD800), QChar(0xDC00)};
    const struct {
        QString job;
        QString title;
        QString expected;
    } cases[] = {
        {u"1"_s, u"Memo\0 draft x"_s, u"job_1 Memo  draft"_s},
        {u"4\0/2"_s, u"Doc"_s, u"job_4__2 Doc"_s},
        {u"2"_s, u"a"_s + lone[1] + u"b"_s + lone[0], u"job_2 a\uFFFDb\uFFFD"_s},
        {u"9"_s.repeated(40), u"\u20AC"_s.repeated(70),
         u"job_"_s + u"9"_s.repeated(16) + u' ' + u"\u20AC"_s.repeated(64)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.title.toStdString());
        const QString name = zek_prepare_title(c.title, c.job);
        EXPECT_EQ(name, c.expected);
        EXPECT_LE((name + u".~pdf"_s).toUtf8().size(), 255);
    }
}

} // namespace
