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

namespace {

constexpr double kHour = 3600; // events wait for a flush
constexpr quint32 kFileEvents = kFWEventsDefaultEventStreamFlags | kFWEventsCreateFlagFileEvents;
constexpr quint32 kRenamedFile = kFWEventFlagItemRenamed | kFWEventFlagItemIsFile;

QList<QUrl> urls(const QString &path)
{
    return {QUrl::fromLocalFile(path)};
}

class Watching : public ::testing::Test {
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

    // The flags delivered for `path` (relative to the root), 0 when nothing was.
    quint32 flagsOf(const QString &path) const
    {
        for (const FWEvent &event : events) {
            if (event.URL().toLocalFile() == root + u'/' + path) {
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
    const QString root = temporary.path() + QStringLiteral("/root");
    std::vector<FWEvent> events;
    std::vector<QThread *> threads;
};

class CountingDelegate : public FWEventsDelegate {
public:
    void URLWatcher(FWEvents &, const FWEvent &) override { ++count; }
    int count = 0;
};

TEST_F(Watching, RefusesInvalidArguments)
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

TEST_F(Watching, ReportsEachKindOfChangeWithTheItemsType)
{
    QDir(root).mkdir(QStringLiteral("gone"));
    const auto watcher = watch();
    writeFile(root + QStringLiteral("/job.~pdf"), "%PDF");
    ASSERT_EQ(rename(QFile::encodeName(root + QStringLiteral("/job.~pdf")),
                     QFile::encodeName(root + QStringLiteral("/job.pdf"))),
              0);
    QFile(root + QStringLiteral("/closed")).open(QIODevice::WriteOnly); // closed, never written
    chmod(QFile::encodeName(root + QStringLiteral("/closed")), 0600);
    symlink("/etc/passwd", QFile::encodeName(root + QStringLiteral("/link.pdf")));
    QDir(root).mkdir(QStringLiteral("new"));
    QDir(root).rmdir(QStringLiteral("gone"));
    watcher->flushSynchronously();

    EXPECT_EQ(flagsOf(QStringLiteral("job.~pdf")),
              kFWEventFlagItemCreated | kFWEventFlagItemModified | kRenamedFile);
    EXPECT_EQ(flagsOf(QStringLiteral("job.pdf")), kRenamedFile);
    EXPECT_EQ(flagsOf(QStringLiteral("closed")),
              kFWEventFlagItemCreated | kFWEventFlagItemInodeMetaMod | kFWEventFlagItemIsFile);
    EXPECT_EQ(flagsOf(QStringLiteral("link.pdf")),
              kFWEventFlagItemCreated | kFWEventFlagItemIsSymlink);
    EXPECT_EQ(flagsOf(QStringLiteral("new")), kFWEventFlagItemCreated | kFWEventFlagItemIsDir);
    EXPECT_EQ(flagsOf(QStringLiteral("gone")), kFWEventFlagItemRemoved | kFWEventFlagItemIsDir);
}

TEST_F(Watching, MergesPerPathInOrderWithGrowingIdentifiers)
{
    const auto watcher = watch();
    writeFile(root + QStringLiteral("/a"), "1");
    writeFile(root + QStringLiteral("/b"), "1");
    writeFile(root + QStringLiteral("/a"), "2");
    watcher->flushSynchronously();
    ASSERT_EQ(paths(), QStringList({"a", "b"}));
    EXPECT_LT(events[0].identifier(), events[1].identifier());
    EXPECT_LE(events[1].identifier(), FWEvents::currentEventIdentifier());
    EXPECT_EQ(watcher->lastEvent()->URL(), events[1].URL());
}

TEST_F(Watching, ReportsWhatADirectoryMovedInAlreadyHoldsAndWatchesIt)
{
    const QString outside = temporary.path() + QStringLiteral("/outside");
    QDir().mkpath(outside + QStringLiteral("/sub"));
    writeFile(outside + QStringLiteral("/a.pdf"), "%PDF");
    writeFile(outside + QStringLiteral("/sub/b.pdf"), "%PDF");
    const auto watcher = watch();
    ASSERT_TRUE(QDir().rename(outside, root + QStringLiteral("/user")));
    watcher->flushSynchronously();
    EXPECT_EQ(flagsOf(QStringLiteral("user")), kFWEventFlagItemRenamed | kFWEventFlagItemIsDir);
    EXPECT_EQ(flagsOf(QStringLiteral("user/a.pdf")), kRenamedFile);
    EXPECT_EQ(flagsOf(QStringLiteral("user/sub/b.pdf")), kRenamedFile);

    writeFile(root + QStringLiteral("/user/sub/c"), "x");
    watcher->flushSynchronously();
    EXPECT_NE(flagsOf(QStringLiteral("user/sub/c")), 0u);
}

TEST_F(Watching, FollowsADirectoryRenamedInsideTheTree)
{
    QDir(root).mkdir(QStringLiteral("before"));
    const auto watcher = watch();
    ASSERT_TRUE(QDir(root).rename(QStringLiteral("before"), QStringLiteral("after")));
    watcher->flushSynchronously();
    events.clear();
    writeFile(root + QStringLiteral("/after/file"), "x");
    watcher->flushSynchronously();
    EXPECT_EQ(paths(), QStringList({"after/file"}));
}

TEST_F(Watching, PicksUpARootThatAppearsLaterAndAgainAfterItWentAway)
{
    const QString spool = temporary.path() + QStringLiteral("/spool");
    FWEvents watcher(urls(spool + QStringLiteral("/root")), record(), QThread::currentThread(),
                     kFWEventsSinceEventNow, kHour, false, std::nullopt, kFileEvents);
    const auto flagsAt = [&](const QString &path) {
        std::optional<quint32> flags;
        for (const FWEvent &event : events) {
            if (event.URL().toLocalFile() == spool + path) {
                flags = event.flags();
            }
        }
        return flags;
    };
    for (int round = 0; round < 2; ++round) {
        events.clear();
        ASSERT_TRUE(QDir().mkpath(spool + QStringLiteral("/root/user")));
        finishJob(spool + QStringLiteral("/root/user"), QStringLiteral("job"));
        watcher.flushSynchronously();
        EXPECT_EQ(flagsAt(QStringLiteral("/root")), kFWEventFlagRootChanged) << round;
        EXPECT_EQ(flagsAt(QStringLiteral("/root/user/job.pdf")), kRenamedFile) << round;

        ASSERT_TRUE(QDir(spool).removeRecursively());
        watcher.flushSynchronously();
        EXPECT_EQ(flagsAt(QStringLiteral("/root")), kFWEventFlagRootChanged) << round;
    }
}

TEST_F(Watching, WithoutFileEventsReportsTheDirectoryThatChanged)
{
    QDir(root).mkdir(QStringLiteral("user"));
    const auto watcher = watch(kFWEventsDefaultEventStreamFlags);
    writeFile(root + QStringLiteral("/user/a"), "x");
    writeFile(root + QStringLiteral("/user/b"), "x");
    watcher->flushSynchronously();
    ASSERT_EQ(paths(), QStringList({"user"}));
    EXPECT_TRUE(events[0].isGenericChange());
}

TEST_F(Watching, IgnoringSubdirectoriesPassesOnlyTheWatchedDirectoryItself)
{
    const auto watcher = watch(kFileEvents, kHour, true);
    writeFile(root + QStringLiteral("/file"), "x");
    chmod(QFile::encodeName(root), 0750);
    watcher->flushSynchronously();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].URL(), QUrl::fromLocalFile(root));
    EXPECT_TRUE(events[0].isInodeMetadataModified());
}

TEST_F(Watching, ExcludedPathsAreAPlainTextPrefix)
{
    QDir().mkpath(root + QStringLiteral("/a/b"));
    const auto watcher = watch(kFileEvents, kHour, false, urls(root + QStringLiteral("/a/b")));
    writeFile(root + QStringLiteral("/a/x"), "x");
    writeFile(root + QStringLiteral("/a/y"), "x");
    writeFile(root + QStringLiteral("/a/b/c"), "x");
    writeFile(root + QStringLiteral("/a/bc"), "x");
    watcher->flushSynchronously();
    EXPECT_EQ(paths(), QStringList({"a/x", "a/y"}));
    EXPECT_EQ(watcher->lastEvent()->URL(), events[1].URL());
}

TEST_F(Watching, HoldsEventsForAFixedWindowNotOneThatRestarts)
{
    const auto watcher = watch(kFileEvents, 0.3);
    bool deliveredWhileWriting = false;
    for (int file = 0; file < 1500 && !deliveredWhileWriting; ++file) {
        writeFile(root + QStringLiteral("/%1").arg(file), "x");
        deliveredWhileWriting =
            waitUntil([&] { return !events.empty(); }, std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(deliveredWhileWriting);
    EXPECT_EQ(threads.front(), QThread::currentThread());
}

TEST_F(Watching, FlushingAsynchronouslyDeliversHeldEventsSoon)
{
    const auto watcher = watch();
    writeFile(root + QStringLiteral("/file"), "x");
    watcher->flushAsynchronously();
    EXPECT_TRUE(waitUntil([&] { return !events.empty(); }));
}

TEST_F(Watching, DeliversOnTheRunLoopItWasGiven)
{
    QThread runLoop;
    runLoop.start();
    auto watcher =
        std::make_unique<FWEvents>(urls(root), record(), &runLoop, kFWEventsSinceEventNow, 0.05,
                                   false, std::nullopt, kFileEvents);
    writeFile(root + QStringLiteral("/file"), "x");
    EXPECT_TRUE(waitUntil([&] { return watcher->lastEvent().has_value(); }));
    runLoop.quit();
    runLoop.wait();
    ASSERT_FALSE(threads.empty());
    EXPECT_EQ(threads.front(), &runLoop);
}

TEST_F(Watching, CopiesKeepTheBlockButNotTheDelegate)
{
    CountingDelegate delegate;
    FWEvents byDelegate(urls(root), &delegate, QThread::currentThread(), kFWEventsSinceEventNow,
                        kHour, false, std::nullopt, kFileEvents);
    const auto delegateCopy = byDelegate.copy();
    const auto byBlock = watch();
    const auto blockCopy = byBlock->copy();
    writeFile(root + QStringLiteral("/file"), "x");
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
TEST_F(Watching, KeepsWatchingADirectoryThatLeftAndCameBack)
{
    const QString outside = temporary.path() + QStringLiteral("/archive");
    const QString alice = root + QStringLiteral("/alice");
    const struct {
        const char *name;
        std::function<bool()> comeBack;
        QString where;
    } cases[] = {
        {"moved back", [&] { return QDir().rename(outside, alice); }, QStringLiteral("alice")},
        {"made anew", [&] { return QDir(root).mkdir(QStringLiteral("alice")); },
         QStringLiteral("alice")},
        {"its subdirectory moved in",
         [&] {
             return QDir().rename(outside + QStringLiteral("/sub"), root + QStringLiteral("/sub2"));
         },
         QStringLiteral("sub2")},
    };
    for (const auto &test : cases) {
        QDir(outside).removeRecursively();
        QDir(alice).removeRecursively();
        QDir(root + QStringLiteral("/sub2")).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(alice + QStringLiteral("/sub")));
        const auto watcher = watch();
        ASSERT_TRUE(QDir().rename(alice, outside));
        ASSERT_TRUE(test.comeBack()) << test.name;
        watcher->flushSynchronously();
        watcher->flushSynchronously(); // a read later: the unmatched half has expired
        events.clear();
        finishJob(root + u'/' + test.where, QStringLiteral("job"));
        watcher->flushSynchronously();
        EXPECT_EQ(flagsOf(test.where + QStringLiteral("/job.pdf")), kRenamedFile) << test.name;
    }
}

// The root's path belongs to the administrator: it may run through links, be relative, or have
// a part of it replaced. Events come for what the path names now, under the path as given.
TEST_F(Watching, FollowsWhatTheRootsPathNamesNow)
{
    const QString base = temporary.path();
    const QString disk = base + QStringLiteral("/disk/spool");
    ASSERT_TRUE(QDir().mkpath(disk));
    ASSERT_EQ(symlink(QFile::encodeName(disk).constData(),
                      QFile::encodeName(base + QStringLiteral("/linked")).constData()),
              0);
    const QString savedDirectory = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(base));

    struct Case {
        const char *name;
        QString watched;              // as given to the watcher
        std::function<void()> change; // what the administrator does after the start
        QString live;                 // where jobs arrive afterwards
        QString stale;                // a tree that no longer is at the path, if any
    };
    const Case cases[] = {
        {"root is a link", base + QStringLiteral("/linked"), [] {}, disk, QString()},
        {"relative root made later", QStringLiteral("later/spool"),
         [&] { QDir().mkpath(base + QStringLiteral("/later/spool")); },
         base + QStringLiteral("/later/spool"), QString()},
        {"parent moved away and made anew", base + QStringLiteral("/var/spool"),
         [&] {
             QDir().rename(base + QStringLiteral("/var"), base + QStringLiteral("/var.old"));
             QDir().mkpath(base + QStringLiteral("/var/spool"));
         },
         base + QStringLiteral("/var/spool"), base + QStringLiteral("/var.old/spool")},
    };
    QDir().mkpath(base + QStringLiteral("/var/spool"));
    for (const Case &test : cases) {
        events.clear();
        FWEvents watcher(urls(test.watched), record(), QThread::currentThread(),
                         kFWEventsSinceEventNow, kHour, false, std::nullopt, kFileEvents);
        test.change();
        watcher.flushSynchronously();
        events.clear();
        if (!test.stale.isEmpty()) {
            finishJob(test.stale, QStringLiteral("stale"));
        }
        finishJob(test.live, QStringLiteral("job"));
        watcher.flushSynchronously();
        const QString reported = QDir::cleanPath(QDir(base).absoluteFilePath(test.watched));
        QStringList seen;
        for (const FWEvent &event : events) {
            seen.append(event.URL().toLocalFile());
        }
        EXPECT_TRUE(seen.contains(reported + QStringLiteral("/job.pdf")))
            << test.name << " " << seen.join(u' ').toStdString();
        EXPECT_FALSE(seen.contains(reported + QStringLiteral("/stale.pdf")))
            << test.name << " " << seen.join(u' ').toStdString();
    }
    QDir::setCurrent(savedDirectory);
}

// Whatever happened before the flush is delivered before it returns, even while the reader is
// busy with earlier events.
TEST_F(Watching, FlushingSynchronouslyDeliversEverythingBeforeIt)
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
