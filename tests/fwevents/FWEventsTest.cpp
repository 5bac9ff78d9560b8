// The watcher on the real file system: creation, the flags it reports, trees that change,
// filters, and delivery on a run loop.

#include "FWEvents.h"

#include "EventLoop.h"
#include "QtPrinting.h"
#include "SpoolFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr double kHour = 3600; // events wait for a flush
constexpr quint32 kFileEvents = kFWEventsDefaultEventStreamFlags | kFWEventsCreateFlagFileEvents;
constexpr quint32 kRenamedFile = kFWEventFlagItemRenamed | kFWEventFlagItemIsFile;

QList<QUrl> urls(const QString &path)
{
    return {QUrl::fromLocalFile(path)};
}

class FWEventsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(QDir().mkpath(root)); }

    std::unique_ptr<FWEvents> watch(quint32 flags = kFileEvents, double latency = kHour,
                                    bool ignoreSubdirectories = false,
                                    const std::optional<QList<QUrl>> &excluded = QList<QUrl>())
    {
        return std::make_unique<FWEvents>(urls(root), record(), QThread::currentThread(),
                                          kFWEventsSinceEventNow, latency, ignoreSubdirectories,
                                          excluded, flags);
    }

    FWEventsBlock record()
    {
        return [this](FWEvents &, const FWEvent &event) {
            events.push_back(event);
            threads.push_back(QThread::currentThread());
        };
    }

    // The flags delivered for `path` (absolute, or relative to the root), 0 when nothing was.
    quint32 flagsOf(const QString &path) const
    {
        for (const FWEvent &event : events) {
            if (event.URL().toLocalFile() == (path.startsWith(u'/') ? path : root + u'/' + path)) {
                return event.flags();
            }
        }
        return 0;
    }

    QStringList paths() const
    {
        QStringList list;
        for (const FWEvent &event : events) {
            list.append(event.URL().toLocalFile().mid(root.size() + 1));
        }
        return list;
    }

    QTemporaryDir temporary;
    const QString root = temporary.path() + u"/root"_s;
    std::vector<FWEvent> events;
    std::vector<QThread *> threads;
};

class CountingDelegate : public FWEventsDelegate {
public:
    void URLWatcher(FWEvents &, const FWEvent &) override { ++count; }
    int count = 0;
};

TEST_F(FWEventsTest, RefusesInvalidArguments)
{
    const auto expectInvalid = [](const std::function<void()> &create) {
        try {
            create();
            ADD_FAILURE() << "no exception";
        } catch (const FWEventsInvalidArgumentException &failure) {
            EXPECT_EQ(failure.name(), "NSInvalidArgumentException");
            EXPECT_EQ(failure.reason(), "Invalid arguments passed to FWEvents init-method.");
        }
    };
    expectInvalid([&] { FWEvents(urls(root), static_cast<FWEventsDelegate *>(nullptr)); });
    expectInvalid([&] { FWEvents(QList<QUrl>(), record()); });
    expectInvalid([&] { FWEvents(urls(root), FWEventsBlock()); });
    try {
        FWEvents(urls(root), record(), QThread::currentThread(), 1);
        ADD_FAILURE() << "a history start other than now was accepted";
    } catch (const FWEventsEventStreamCreationFailureException &failure) {
        EXPECT_EQ(failure.name(), "FWEventsEventStreamCreationFailureException");
        EXPECT_EQ(failure.reason(), "Failed to create event stream.");
    }
}

TEST_F(FWEventsTest, ReportsEachKindOfChangeWithTheItemsType)
{
    QDir(root).mkdir(u"gone"_s);
    const auto watcher = watch();
    writeFile(root + u"/job.~pdf"_s, "%PDF");
    ASSERT_EQ(
        rename(QFile::encodeName(root + u"/job.~pdf"_s), QFile::encodeName(root + u"/job.pdf"_s)),
        0);
    QFile(root + u"/closed"_s).open(QIODevice::WriteOnly); // closed, never written
    chmod(QFile::encodeName(root + u"/closed"_s), 0600);
    symlink("/etc/passwd", QFile::encodeName(root + u"/link.pdf"_s));
    QDir(root).mkdir(u"new"_s);
    QDir(root).rmdir(u"gone"_s);
    watcher->flushSynchronously();

    EXPECT_EQ(flagsOf(u"job.~pdf"_s),
              kFWEventFlagItemCreated | kFWEventFlagItemModified | kRenamedFile);
    EXPECT_EQ(flagsOf(u"job.pdf"_s), kRenamedFile);
    EXPECT_EQ(flagsOf(u"closed"_s),
              kFWEventFlagItemCreated | kFWEventFlagItemInodeMetaMod | kFWEventFlagItemIsFile);
    EXPECT_EQ(flagsOf(u"link.pdf"_s), kFWEventFlagItemCreated | kFWEventFlagItemIsSymlink);
    EXPECT_EQ(flagsOf(u"new"_s), kFWEventFlagItemCreated | kFWEventFlagItemIsDir);
    EXPECT_EQ(flagsOf(u"gone"_s), kFWEventFlagItemRemoved | kFWEventFlagItemIsDir);
}

TEST_F(FWEventsTest, MergesPerPathInOrderWithGrowingIdentifiers)
{
    const auto watcher = watch();
    writeFile(root + u"/a"_s, "1");
    writeFile(root + u"/b"_s, "1");
    writeFile(root + u"/a"_s, "2");
    watcher->flushSynchronously();
    ASSERT_EQ(paths(), QStringList({"a", "b"}));
    EXPECT_LT(events[0].identifier(), events[1].identifier());
    EXPECT_LE(events[1].identifier(), FWEvents::currentEventIdentifier());
    EXPECT_EQ(watcher->lastEvent()->URL(), events[1].URL());
}

TEST_F(FWEventsTest, WatchesDirectoriesMovedInOrRenamedAndReportsWhatTheyHold)
{
    const QString outside = temporary.path() + u"/outside"_s;
    QDir().mkpath(outside + u"/sub"_s);
    writeFile(outside + u"/a.pdf"_s, "%PDF");
    writeFile(outside + u"/sub/b.pdf"_s, "%PDF");
    QDir(root).mkdir(u"before"_s);
    const auto watcher = watch();
    ASSERT_TRUE(QDir().rename(outside, root + u"/user"_s));
    ASSERT_TRUE(QDir(root).rename(u"before"_s, u"after"_s));
    watcher->flushSynchronously();
    EXPECT_EQ(flagsOf(u"user"_s), kFWEventFlagItemRenamed | kFWEventFlagItemIsDir);
    EXPECT_EQ(flagsOf(u"user/a.pdf"_s), kRenamedFile);
    EXPECT_EQ(flagsOf(u"user/sub/b.pdf"_s), kRenamedFile);

    events.clear();
    writeFile(root + u"/user/sub/c"_s, "x");
    writeFile(root + u"/after/file"_s, "x");
    watcher->flushSynchronously();
    EXPECT_EQ(paths(), QStringList({"user/sub/c", "after/file"}));
}

TEST_F(FWEventsTest, PicksUpARootThatAppearsLaterAndAgainAfterItWentAway)
{
    const QString spool = temporary.path() + u"/spool"_s;
    FWEvents watcher(urls(spool + u"/root"_s), record(), QThread::currentThread(),
                     kFWEventsSinceEventNow, kHour, false, std::nullopt, kFileEvents);
    for (int round = 0; round < 2; ++round) {
        events.clear();
        ASSERT_TRUE(QDir().mkpath(spool + u"/root/user"_s));
        finishJob(spool + u"/root/user"_s, u"job"_s);
        watcher.flushSynchronously();
        EXPECT_EQ(flagsOf(spool + u"/root"_s), kFWEventFlagRootChanged) << round;
        EXPECT_EQ(flagsOf(spool + u"/root/user/job.pdf"_s), kRenamedFile) << round;

        events.clear();
        ASSERT_TRUE(QDir(spool).removeRecursively());
        watcher.flushSynchronously();
        EXPECT_EQ(flagsOf(spool + u"/root"_s), kFWEventFlagRootChanged) << round;
    }
}

TEST_F(FWEventsTest, WithoutFileEventsReportsTheDirectoryThatChanged)
{
    QDir(root).mkdir(u"user"_s);
    const auto watcher = watch(kFWEventsDefaultEventStreamFlags);
    writeFile(root + u"/user/a"_s, "x");
    writeFile(root + u"/user/b"_s, "x");
    watcher->flushSynchronously();
    ASSERT_EQ(paths(), QStringList({"user"}));
    EXPECT_TRUE(events[0].isGenericChange());
}

TEST_F(FWEventsTest, ExcludedPathsAreAPlainTextPrefix)
{
    QDir().mkpath(root + u"/a/b"_s);
    const auto watcher = watch(kFileEvents, kHour, false, urls(root + u"/a/b"_s));
    writeFile(root + u"/a/x"_s, "x");
    writeFile(root + u"/a/y"_s, "x");
    writeFile(root + u"/a/b/c"_s, "x");
    writeFile(root + u"/a/bc"_s, "x");
    watcher->flushSynchronously();
    EXPECT_EQ(paths(), QStringList({"a/x", "a/y"}));
    EXPECT_EQ(watcher->lastEvent()->URL(), events[1].URL());
}

TEST_F(FWEventsTest, HoldsEventsForAFixedWindowNotOneThatRestarts)
{
    const auto watcher = watch(kFileEvents, 0.3);
    bool deliveredWhileWriting = false;
    for (int file = 0; file < 1500 && !deliveredWhileWriting; ++file) {
        writeFile(root + u"/%1"_s.arg(file), "x");
        deliveredWhileWriting =
            waitUntil([&] { return !events.empty(); }, std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(deliveredWhileWriting);
    EXPECT_EQ(threads.front(), QThread::currentThread());
}

TEST_F(FWEventsTest, FlushingAsynchronouslyDeliversHeldEventsSoon)
{
    const auto watcher = watch();
    writeFile(root + u"/file"_s, "x");
    watcher->flushAsynchronously();
    EXPECT_TRUE(waitUntil([&] { return !events.empty(); }));
}

TEST_F(FWEventsTest, DeliversOnTheRunLoopItWasGiven)
{
    QThread runLoop;
    runLoop.start();
    auto watcher =
        std::make_unique<FWEvents>(urls(root), record(), &runLoop, kFWEventsSinceEventNow, 0.05,
                                   false, std::nullopt, kFileEvents);
    writeFile(root + u"/file"_s, "x");
    EXPECT_TRUE(waitUntil([&] { return watcher->lastEvent().has_value(); }));
    runLoop.quit();
    runLoop.wait();
    ASSERT_FALSE(threads.empty());
    EXPECT_EQ(threads.front(), &runLoop);
}

TEST_F(FWEventsTest, CopiesKeepTheBlockButNotTheDelegate)
{
    CountingDelegate delegate;
    FWEvents byDelegate(urls(root), &delegate, QThread::currentThread(), kFWEventsSinceEventNow,
                        kHour, false, std::nullopt, kFileEvents);
    const auto delegateCopy = byDelegate.copy();
    const auto byBlock = watch();
    const auto blockCopy = byBlock->copy();
    writeFile(root + u"/file"_s, "x");
    for (FWEvents *watcher : {&byDelegate, delegateCopy.get(), byBlock.get(), blockCopy.get()}) {
        watcher->flushSynchronously();
    }
    EXPECT_EQ(delegate.count, 1);
    EXPECT_EQ(delegateCopy->delegate(), nullptr);
    EXPECT_EQ(paths(), QStringList({"file", "file"}));
}

// A directory of the tree that leaves it and is back (the same one, a new one of that name, or
// one from inside it) before the first half of the rename expires: the watch on the path must
// survive the expiry.
TEST_F(FWEventsTest, KeepsWatchingADirectoryThatLeftAndCameBack)
{
    const QString outside = temporary.path() + u"/archive"_s;
    const QString alice = root + u"/alice"_s;
    const struct {
        const char *name;
        std::function<bool()> comeBack;
        QString where;
    } cases[] = {
        {"moved back", [&] { return QDir().rename(outside, alice); }, u"alice"_s},
        {"made anew", [&] { return QDir(root).mkdir(u"alice"_s); }, u"alice"_s},
        {"its subdirectory moved in",
         [&] { return QDir().rename(outside + u"/sub"_s, root + u"/sub2"_s); }, u"sub2"_s},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.name);
        QDir(outside).removeRecursively();
        QDir(alice).removeRecursively();
        QDir(root + u"/sub2"_s).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(alice + u"/sub"_s));
        const auto watcher = watch();
        ASSERT_TRUE(QDir().rename(alice, outside));
        ASSERT_TRUE(test.comeBack());
        watcher->flushSynchronously();
        watcher->flushSynchronously(); // a read later: the unmatched half has expired
        events.clear();
        finishJob(root + u'/' + test.where, u"job"_s);
        watcher->flushSynchronously();
        EXPECT_EQ(flagsOf(test.where + u"/job.pdf"_s), kRenamedFile);
    }
}

// The root's path belongs to the administrator: it may run through links, be relative, or have
// a part of it replaced. Events come for what the path names now, under the path as given.
TEST_F(FWEventsTest, FollowsWhatTheRootsPathNamesNow)
{
    const QString base = temporary.path();
    const QString disk = base + u"/disk/spool"_s;
    ASSERT_TRUE(QDir().mkpath(disk));
    ASSERT_EQ(symlink(QFile::encodeName(disk).constData(),
                      QFile::encodeName(base + u"/linked"_s).constData()),
              0);
    const QString savedDirectory = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(base));

    struct Case {
        const char *name;
        QString watched;                      // as given to the watcher
        std::function<void()> change = [] {}; // what the administrator does after the start
        QString live;                         // where jobs arrive afterwards
        QString stale = {};                   // a tree that no longer is at the path, if any
    };
    const Case cases[] = {
        {.name = "root is a link", .watched = base + u"/linked"_s, .live = disk},
        {.name = "relative root made later",
         .watched = u"later/spool"_s,
         .change = [&] { QDir().mkpath(base + u"/later/spool"_s); },
         .live = base + u"/later/spool"_s},
        {.name = "parent moved away and made anew",
         .watched = base + u"/var/spool"_s,
         .change =
             [&] {
                 QDir().rename(base + u"/var"_s, base + u"/var.old"_s);
                 QDir().mkpath(base + u"/var/spool"_s);
             },
         .live = base + u"/var/spool"_s,
         .stale = base + u"/var.old/spool"_s},
    };
    QDir().mkpath(base + u"/var/spool"_s);
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        events.clear();
        FWEvents watcher(urls(test.watched), record(), QThread::currentThread(),
                         kFWEventsSinceEventNow, kHour, false, std::nullopt, kFileEvents);
        test.change();
        watcher.flushSynchronously();
        events.clear();
        if (!test.stale.isEmpty()) {
            finishJob(test.stale, u"stale"_s);
        }
        finishJob(test.live, u"job"_s);
        watcher.flushSynchronously();
        const QString reported = QDir::cleanPath(QDir(base).absoluteFilePath(test.watched));
        EXPECT_NE(flagsOf(reported + u"/job.pdf"_s), 0u);
        EXPECT_EQ(flagsOf(reported + u"/stale.pdf"_s), 0u);
    }
    QDir::setCurrent(savedDirectory);
}

// Whatever happened before the flush is delivered before it returns, even while the reader is
// busy with earlier events.
TEST_F(FWEventsTest, FlushingSynchronouslyDeliversEverythingBeforeIt)
{
    const auto watcher = watch();
    for (int round = 0; round < 5000; ++round) {
        const QString name = QString::number(round);
        writeFile(root + u'/' + name + u'a', "x"); // wakes the reader
        // Give the reader a varying head start, so that the second file comes at every stage
        // of its reading.
        const auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < std::chrono::microseconds(round % 60)) {
        }
        writeFile(root + u'/' + name + u'b', "x");
        watcher->flushSynchronously();
        ASSERT_NE(flagsOf(name + u'b'), 0u) << round;
        events.clear();
    }
}

} // namespace
