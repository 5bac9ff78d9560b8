#include "Title.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

struct TitleCase {
    const char *job;
    QString title;
    QString expected;
};

QString repeated(const QString &text, int times)
{
    return text.repeated(times);
}

TEST(PrepareTitle, WorkedExamples)
{
    const TitleCase cases[] = {
        {"42", u"Quarterly report.pages"_s, u"job_42 Quarterly"_s},
        {"7", u"(stdin)"_s, u"job_7 Untitled document"_s},
        {"2", u"(stdin)\n"_s, u"job_2 stdin"_s},
        {"1", u"Report\n"_s, u"job_1 Report"_s},
        {"15", u"/tmp/scans/Invoice_2018.pdf"_s, u"job_15 Invoice_2018"_s},
        {"3", u"C:\\Docs\\Plan.final.txt"_s, u"job_3 Plan.final"_s},
        {"9", u"Meeting 10:30"_s, u"job_9 Meeting 10"_s},
        {"5", u"(Minutes)"_s, u"job_5 Minutes"_s},
        {"6", u"()"_s, u"job_6 Untitled document"_s},
        {"8", u"--- Notes ---"_s, u"job_8 Notes"_s},
        {"4", u".profile"_s, u"job_4 Untitled document"_s},
        {"13", u" Hello"_s, u"job_13 Untitled document"_s},
        {"14", u"Hello"_s, u"job_14 Hello"_s},
        {"17", u"Invoice (copy).pdf"_s, u"job_17 Invoice"_s},
        {"19", u"Budget 2019 \u2013 final.xlsx"_s, u"job_19 Budget 2019"_s},
        {"21", u"Scan 2018-12-20 at 10.15.33.png"_s, u"job_21 Scan 2018-12-20 at"_s},
        {"11", repeated(u"A"_s, 70), u"job_11 "_s + repeated(u"A"_s, 64)},
        {"12", u"The quick brown fox jumps over the lazy dog while everyone watches quietly"_s,
         u"job_12 The quick brown fox jumps over the lazy dog while everyone"_s},
        {"22", u"Annual general meeting of the association: minutes and resolutions 2018.docx"_s,
         u"job_22 Annual general meeting of the association  minutes and"_s},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(zek_prepare_title(c.title, QString::fromUtf8(c.job)), c.expected) << c.job;
    }
}

TEST(PrepareTitle, TitlesWithNothingLeftAreUntitled)
{
    for (const QString &title :
         {QString(), u""_s, u"\n\r\n"_s, u"()"_s, u"/"_s, u"."_s, u"("_s, u")"_s, u"a/"_s}) {
        EXPECT_EQ(zek_prepare_title(title, u"5"_s), u"job_5 Untitled document"_s)
            << title.toStdString();
    }
}

TEST(PrepareTitle, NewlinesOnlyTrimmedAtTheEnds)
{
    EXPECT_EQ(zek_prepare_title(u"\u2028Top\u0085"_s, u"1"_s), u"job_1 Top"_s);
    // Inner newlines stay; a tab is no space for the last-word rule.
    EXPECT_EQ(zek_prepare_title(u"One\nTwo\tThree"_s, u"1"_s), u"job_1 One\nTwo\tThree"_s);
}

TEST(PrepareTitle, OnlyOnePairOfParenthesesGoes)
{
    EXPECT_EQ(zek_prepare_title(u"((Deep))"_s, u"1"_s), u"job_1 Deep"_s);
    EXPECT_EQ(zek_prepare_title(u"(a)b)"_s, u"1"_s), u"job_1 a)b"_s);
}

TEST(PrepareTitle, LengthLimitCountsCodeUnits)
{
    EXPECT_EQ(zek_prepare_title(repeated(u"b"_s, 64), u"1"_s), u"job_1 "_s + repeated(u"b"_s, 64));
    EXPECT_EQ(zek_prepare_title(repeated(u"b"_s, 65), u"1"_s), u"job_1 "_s + repeated(u"b"_s, 64));
    // U+1F600 is two code units: 32 of them fill the 64 units exactly.
    const QString face = QString::fromUcs4(U"\U0001F600", 1);
    EXPECT_EQ(zek_prepare_title(repeated(face, 33), u"1"_s), u"job_1 "_s + repeated(face, 32));
}

TEST(PrepareTitle, CutThroughASurrogatePairDropsTheHalfCharacter)
{
    const QString face = QString::fromUcs4(U"\U0001F600", 1);
    const QString title = repeated(u"x"_s, 63) + face + u"tail"_s;
    const QString name = zek_prepare_title(title, u"1"_s);
    EXPECT_EQ(name, u"job_1 "_s + repeated(u"x"_s, 63));
    // The name survives a round trip through UTF-8, as a file name must.
    EXPECT_EQ(QString::fromUtf8(name.toUtf8()), name);
}

TEST(PrepareTitle, SeparatorsAndExtensions)
{
    EXPECT_EQ(zek_prepare_title(u"a/b\\c.d:e f"_s, u"1"_s), u"job_1 c"_s);
    EXPECT_EQ(zek_prepare_title(u"dir.v2/notes"_s, u"1"_s), u"job_1 notes"_s);
    EXPECT_EQ(zek_prepare_title(u"Trip:Plan"_s, u"1"_s), u"job_1 Trip"_s);
}

TEST(PrepareTitle, PunctuationTrimmedBeforeSpaces)
{
    // Punctuation goes first, so spaces it uncovers go too; inner ones stay.
    EXPECT_EQ(zek_prepare_title(u"\u00BF Que tal? x"_s, u"1"_s), u"job_1 Que tal"_s);
    EXPECT_EQ(zek_prepare_title(u"\u00ABA-B\u00BB"_s, u"1"_s), u"job_1 A-B"_s);
    // Symbols are not punctuation.
    EXPECT_EQ(zek_prepare_title(u"$100+"_s, u"1"_s), u"job_1 $100+"_s);
}

TEST(PrepareTitle, JobIdentifierIsKeptButNeverLeavesTheDirectory)
{
    EXPECT_EQ(zek_prepare_title(u"Doc"_s, u"0x 1%2"_s), u"job_0x 1%2 Doc"_s);
    EXPECT_EQ(zek_prepare_title(u"Doc"_s, u"/../../etc/x"_s), u"job__.._.._etc_x Doc"_s);
}

} // namespace
