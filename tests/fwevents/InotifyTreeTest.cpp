// The kernel side of the stream, read by hand so that its queue can be made to overflow.

#include "InotifyTree.h"

#include "FWEvent.h"
#include "SpoolFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

int kernelQueueLength()
{
    QFile limit(QStringLiteral("/proc/sys/fs/inotify/max_queued_events"));
    return limit.open(QIODevice::ReadOnly) ? limit.readAll().trimmed().toInt() : 16384;
}

// Each round makes two events (created, removed) in the directory; nothing reads them.
void overflowTheQueue(const QString &directory)
{
    const QByteArray file = QFile::encodeName(directory + QStringLiteral("/f"));
    for (int i = 0; i <= kernelQueueLength() / 2; ++i) {
        close(open(file.constData(), O_CREAT | O_WRONLY, 0600));
        unlink(file.constData());
    }
}

std::vector<EventBatch::Entry> read(InotifyTree &tree)
{
    EventBatch batch(true);
    tree.readEvents(batch);
    return batch.take();
}

quint32 flagsOf(const std::vector<EventBatch::Entry> &entries, const QString &path)
{
    for (const EventBatch::Entry &entry : entries) {
        if (entry.path == QFile::encodeName(path)) {
            return entry.flags;
        }
    }
    return 0;
}

TEST(InotifyTreeTest, ReportsAnOverflowAndKeepsWatchingWhatCameMeanwhile)
{
    QTemporaryDir temporary;
    const QString root = temporary.path();
    InotifyTree tree({QFile::encodeName(root)}, true);
    ASSERT_TRUE(tree.isValid());
    tree.watchRoots();

    overflowTheQueue(root);
    ASSERT_TRUE(QDir(root).mkdir(QStringLiteral("unseen"))); // its own event is lost

    const auto overflow = read(tree);
    EXPECT_EQ(flagsOf(overflow, root), kFWEventFlagMustScanSubDirs | kFWEventFlagKernelDropped);

    writeFile(root + QStringLiteral("/unseen/job.pdf"), "%PDF");
    const auto after = read(tree);
    EXPECT_TRUE(flagsOf(after, root + QStringLiteral("/unseen/job.pdf")) & kFWEventFlagItemCreated);
}

// A directory that leaves the tree while the kernel's queue overflows is no longer part of it:
// what is written there afterwards is not reported as if it were inside.
TEST(InotifyTreeTest, ForgetsADirectoryThatLeftDuringAnOverflow)
{
    QTemporaryDir temporary;
    const QString root = temporary.path() + QStringLiteral("/root");
    const QString outside = temporary.path() + QStringLiteral("/outside");
    ASSERT_TRUE(QDir().mkpath(root + QStringLiteral("/user")));
    InotifyTree tree({QFile::encodeName(root)}, true);
    tree.watchRoots();

    ASSERT_TRUE(QDir().rename(root + QStringLiteral("/user"), outside));
    overflowTheQueue(root);
    const auto overflow = read(tree);
    ASSERT_TRUE(flagsOf(overflow, root) & kFWEventFlagKernelDropped);

    writeFile(outside + QStringLiteral("/job.pdf"), "%PDF");
    const auto after = read(tree);
    EXPECT_EQ(flagsOf(after, root + QStringLiteral("/user/job.pdf")), 0u);
}

} // namespace
