// A watched directory that is a mount point and is unmounted while watched. Runs as root in a
// mount namespace of its own (see with-private-spool.sh).

#include "FWEvents.h"
#include "SpoolFiles.h"

#include <QDir>
#include <gtest/gtest.h>
#include <sys/mount.h>

namespace {

TEST(FWEventsUnmountTest, AWatchedMountPointReportsTheUnmountAndGoesOnWithTheDirectoryUnderneath)
{
    const QString root = QStringLiteral("/var/spool/ZEKPrinter");
    ASSERT_TRUE(QDir().mkpath(root));
    ASSERT_EQ(mount("zek-test", "/var/spool/ZEKPrinter", "tmpfs", 0, "mode=0755"), 0);
    std::vector<FWEvent> events;
    FWEvents watcher(
        {QUrl::fromLocalFile(root)},
        [&](FWEvents &, const FWEvent &event) { events.push_back(event); },
        QThread::currentThread(), kFWEventsSinceEventNow, 3600, false, std::nullopt,
        kFWEventsDefaultEventStreamFlags | kFWEventsCreateFlagFileEvents);

    ASSERT_EQ(umount("/var/spool/ZEKPrinter"), 0);
    watcher.flushSynchronously();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().URL(), QUrl::fromLocalFile(root));
    EXPECT_TRUE(events.front().didVolumeUnmount());
    EXPECT_TRUE(events.front().isRootChanged());

    events.clear();
    const QString job = finishJob(root, QStringLiteral("job_1 after"));
    watcher.flushSynchronously();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().URL(), QUrl::fromLocalFile(job));
    EXPECT_TRUE(events.back().isRenamed() && events.back().isFile());
}

} // namespace
