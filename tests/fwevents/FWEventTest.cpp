// The event record: flag predicates, text form, keyed archive.

#include "FWEvent.h"

#include <QCborValue>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

using Predicate = bool (FWEvent::*)() const;

const std::pair<Predicate, quint32> kPredicateBits[] = {
    {&FWEvent::mustRescanSubDirectories, 0x1},
    {&FWEvent::isUserDropped, 0x2},
    {&FWEvent::isKernelDropped, 0x4},
    {&FWEvent::isEventIdentifiersWrapped, 0x8},
    {&FWEvent::isHistoryDone, 0x10},
    {&FWEvent::isRootChanged, 0x20},
    {&FWEvent::didVolumeMount, 0x40},
    {&FWEvent::didVolumeUnmount, 0x80},
    {&FWEvent::isCreated, 0x100},
    {&FWEvent::isRemoved, 0x200},
    {&FWEvent::isInodeMetadataModified, 0x400},
    {&FWEvent::isRenamed, 0x800},
    {&FWEvent::isModified, 0x1000},
    {&FWEvent::isFinderInfoModified, 0x2000},
    {&FWEvent::didChangeOwner, 0x4000},
    {&FWEvent::isXattrModified, 0x8000},
    {&FWEvent::isFile, 0x10000},
    {&FWEvent::isDir, 0x20000},
    {&FWEvent::isSymlink, 0x40000},
};

FWEvent eventWithFlags(quint32 flags)
{
    return FWEvent(1, QDateTime::currentDateTime(), QUrl::fromLocalFile(QStringLiteral("/x")),
                   flags);
}

TEST(FWEventFlags, EachPredicateReadsItsOwnBitOnly)
{
    for (const auto &[predicate, bit] : kPredicateBits) {
        const FWEvent event = eventWithFlags(bit);
        EXPECT_FALSE(event.isGenericChange());
        for (const auto &[other, otherBit] : kPredicateBits) {
            EXPECT_EQ((event.*other)(), otherBit == bit) << "bit " << bit << " other " << otherBit;
        }
    }
    const FWEvent generic = eventWithFlags(0);
    EXPECT_TRUE(generic.isGenericChange());
    for (const auto &[predicate, bit] : kPredicateBits) {
        EXPECT_FALSE((generic.*predicate)());
    }
}

TEST(FWEventFlags, RenamedFile)
{
    const FWEvent event = eventWithFlags((1u << 11) | (1u << 16));
    EXPECT_TRUE(event.isFile());
    EXPECT_TRUE(event.isRenamed());
    EXPECT_FALSE(event.isModified());
    EXPECT_FALSE(event.isCreated());
}

TEST(FWEventRecord, DescriptionShowsEveryValue)
{
    const QDateTime date(QDate(2024, 5, 1), QTime(10, 0, 7), Qt::UTC);
    const FWEvent event(42, date, QUrl::fromLocalFile(QStringLiteral("/var/spool/a b.pdf")), 67584);
    const QRegularExpression expected(QStringLiteral(
        "^<FWEvent: 0x[0-9a-f]+ \\{ identifier = 42, URL = file:///var/spool/a%20b.pdf, "
        "flags = 67584, date = 2024-05-01 10:00:07 \\+0000 \\}>$"));
    EXPECT_TRUE(expected.match(event.description()).hasMatch())
        << event.description().toStdString();
}

TEST(FWEventRecord, ArchiveKeepsItsKeyOrderAndRoundTrips)
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
