// The event record: text form, keyed archive.

#include "FWEvent.h"

#include <QCborValue>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

TEST(FWEventTest, DescriptionShowsEveryValue)
{
    const QDateTime date(QDate(2024, 5, 1), QTime(10, 0, 7), Qt::UTC);
    const FWEvent event(42, date, QUrl::fromLocalFile(QStringLiteral("/var/spool/a b.pdf")), 67584);
    const QRegularExpression expected(QStringLiteral(
        "^<FWEvent: 0x[0-9a-f]+ \\{ identifier = 42, URL = file:///var/spool/a%20b.pdf, "
        "flags = 67584, date = 2024-05-01 10:00:07 \\+0000 \\}>$"));
    EXPECT_TRUE(expected.match(event.description()).hasMatch())
        << event.description().toStdString();
}

TEST(FWEventTest, ArchiveKeepsItsKeyOrderAndRoundTrips)
{
    const FWEvent event = FWEvent::eventWithIdentifier(
        7, QDateTime::currentDateTime(), QUrl::fromLocalFile(QStringLiteral("/a/job.pdf")),
        0xFFFFFFFFu);
    QCborMap archive;
    event.encodeWithCoder(archive);
    QStringList keys;
    for (const QCborValue &key : archive.keys()) {
        keys.append(key.toString());
    }
    EXPECT_EQ(keys, QStringList({"identifier", "flags", "date", "URL"}));

    const QByteArray bytes = QCborValue(archive).toCbor();
    const FWEvent decoded(QCborValue::fromCbor(bytes).toMap());
    EXPECT_EQ(decoded.identifier(), event.identifier());
    EXPECT_EQ(decoded.flags(), event.flags());
    EXPECT_EQ(decoded.date(), event.date());
    EXPECT_EQ(decoded.URL(), event.URL());
}

} // namespace
