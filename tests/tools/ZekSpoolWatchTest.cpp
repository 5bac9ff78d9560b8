// zek-spool-watch over the real spool tree, fed by the real ZEKPrinter. Runs as root in a
// mount namespace whose /var/spool is a fresh tmpfs (see with-private-spool.sh).

#include "BackgroundProcess.h"
#include "ProcessRunner.h"
#include "SpoolFiles.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QThread>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString kWatch = QStringLiteral(ZEK_SPOOL_WATCH_PATH);
const QString kPrinter = QStringLiteral(ZEK_PRINTER_PATH);
const QString kRoot = u"/var/spool/ZEKPrinter"_s;
const QByteArray kPdf = "%PDF-1.4\n%%EOF\n";

QByteArray appeared(const QString &path)
{
    return "Printed PDF appeared: " + path.toUtf8() + '\n';
}

class ZekSpoolWatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Only ever the private tmpfs that with-private-spool.sh puts over /var/spool, never the
        // machine's own spool tree.
        struct statfs spool {};
        if (::statfs("/var/spool", &spool) != 0 || spool.f_type != TMPFS_MAGIC) {
            GTEST_FAIL() << "run through with-private-spool.sh: /var/spool is not a private tmpfs";
        }
        // rm, unlike QDir, removes chains deeper than a path may be long.
        runProcess(u"rm"_s, {u"-rf"_s, kRoot});
    }
};

ProcessResult print(const QString &job, const QString &user, bool withoutNoReplaceRenames = false)
{
    if (withoutNoReplaceRenames) {
        // As on network file systems, which cannot rename without replacing.
        qputenv("LD_PRELOAD", ZEK_FS_SHIM_PATH);
        qputenv("ZEK_SHIM_NOREPLACE_EINVAL", "1");
    }
    auto result = runProcess(kPrinter, {job, user, u"Job"_s}, kPdf);
    qunsetenv("LD_PRELOAD");
    qunsetenv("ZEK_SHIM_NOREPLACE_EINVAL");
    return result;
}

// The jobs reported once the watcher has had time to report more, were there more.
qsizetype reportsAfterAWhile(BackgroundProcess &watch)
{
    watch.readMore(1500);
    return watch.output().count("Printed PDF appeared: ");
}

QByteArray appearedJob(const QString &directory, const QString &job)
{
    return appeared(directory + u"/job_%1 Job.pdf"_s.arg(job));
}

bool move(const QString &from, const QString &to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// Makes the kernel drop events for a watcher that is not reading: many more changes than its
// queue holds.
void overflowTheQueue(const QString &directory)
{
    const QByteArray file = QFile::encodeName(directory + u"/churn"_s);
    for (int i = 0; i < 20000; ++i) {
        close(open(file.constData(), O_CREAT | O_WRONLY, 0600));
        unlink(file.constData());
    }
}

// A chain of directories deeper than a path may be long, as any user can make one in the
// shared directory.
void makeDeepChain(const QString &directory)
{
    int fd = open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY);
    for (int depth = 0; depth < 2100 && fd >= 0; ++depth) {
        mkdirat(fd, "d", 0755);
        const int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
    }
    ASSERT_GE(fd, 0);
    close(fd);
}

TEST_F(ZekSpoolWatchTest, ReportsEveryJobOfTheBackendInATreeThatDidNotExistYet)
{
    BackgroundProcess watch(kWatch, {u"-v"_s});
    ASSERT_TRUE(watch.waitForError("watching " + kRoot.toUtf8())) << watch.error().data();

    EXPECT_EQ(runProcess(kPrinter, {"42", "daemon", "Quarterly report.pages"}, kPdf).exitCode, 0);
    EXPECT_EQ(runProcess(kPrinter, {"7", "no-such-user-zek", "(stdin)"}, kPdf).exitCode, 0);
    EXPECT_EQ(runProcess(kPrinter, {"3", "daemon", "notes.txt"}, "%!PS-Adobe-3.0\n").exitCode, 2);
    EXPECT_EQ(runProcess(kPrinter, {"43", "daemon", "Last one.pdf"}, kPdf).exitCode, 0);

    const QByteArray last = appeared(kRoot + u"/daemon/job_43 Last.pdf"_s);
    ASSERT_TRUE(watch.waitForOutput(last)) << watch.output().data();
    const QByteArray lines = watch.output();
    EXPECT_TRUE(lines.contains(appeared(kRoot + u"/daemon/job_42 Quarterly.pdf"_s)));
    EXPECT_TRUE(
        lines.contains(appeared(kRoot + u"/anonymous users/job_7 Untitled document.pdf"_s)));
    EXPECT_EQ(lines.count("Printed PDF appeared: "), 3);
    EXPECT_TRUE(lines.contains("<FWEvent: ")); // -v
}

TEST_F(ZekSpoolWatchTest, SkipsDirectoriesItCannotReadAndGoesOnWatching)
{
    const QString hidden = kRoot + u"/root"_s;
    const QString anonymous = kRoot + u"/anonymous users"_s;
    ASSERT_TRUE(QDir().mkpath(hidden + u"/inner"_s));
    ASSERT_TRUE(QDir().mkpath(anonymous));
    QFile::setPermissions(hidden, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile::setPermissions(anonymous, QFileDevice::Permissions(0x7777));

    BackgroundProcess watch(u"setpriv"_s,
                            {"--reuid=nobody", "--regid=nogroup", "--clear-groups", kWatch});
    ASSERT_TRUE(watch.waitForError("watching " + kRoot.toUtf8())) << watch.error().data();
    finishJob(hidden, u"job_1 secret"_s);
    finishJob(hidden + u"/inner"_s, u"job_2 secret"_s);
    const QString job = finishJob(anonymous, u"job_3 public"_s);

    ASSERT_TRUE(watch.waitForOutput(appeared(job))) << watch.output().data();
    EXPECT_FALSE(watch.output().contains("secret"));
}

// The backend makes a user's directory as root's and then hands it to the user: the user's own
// watcher cannot read it when it appears, and must take it up once it can.
TEST_F(ZekSpoolWatchTest, WatchesAUsersNewDirectoryOnceItIsTheirs)
{
    BackgroundProcess watch(u"setpriv"_s,
                            {"--reuid=daemon", "--regid=daemon", "--clear-groups", kWatch});
    ASSERT_TRUE(watch.waitForError("watching " + kRoot.toUtf8())) << watch.error().data();
    qputenv("LD_PRELOAD", ZEK_FS_SHIM_PATH);
    qputenv("ZEK_SHIM_PAUSE_BEFORE_CHOWN_MS", "300");
    const ProcessResult printed = print(u"44"_s, u"daemon"_s);
    qunsetenv("ZEK_SHIM_PAUSE_BEFORE_CHOWN_MS");
    qunsetenv("LD_PRELOAD");
    ASSERT_EQ(printed.exitCode, 0);
    EXPECT_TRUE(watch.waitForOutput(appearedJob(kRoot + u"/daemon"_s, "44"), 10000))
        << watch.output().data();
}

// What administrators and other users do to the spool tree, with the backend printing all the
// while: every job that ends up in the tree is reported, and none that is not.
TEST_F(ZekSpoolWatchTest, ReportsEveryJobWhateverHappensToTheTree)
{
    const QString daemon = kRoot + u"/daemon"_s;
    const QString anonymous = kRoot + u"/anonymous users"_s;
    ASSERT_EQ(print(u"1"_s, u"daemon"_s).exitCode, 0);
    // With the descriptor limit of a desktop session (prlimit runs the watcher in its place).
    BackgroundProcess watch(u"prlimit"_s, {u"--nofile=1024"_s, kWatch});
    ASSERT_TRUE(watch.waitForError("watching " + kRoot.toUtf8())) << watch.error().data();

    // The user's directory archived and made anew by the next job, then moved out and back.
    ASSERT_TRUE(move(daemon, u"/var/spool/archived"_s));
    ASSERT_EQ(print(u"2"_s, u"daemon"_s).exitCode, 0);
    ASSERT_TRUE(move(daemon, u"/var/spool/away"_s));
    ASSERT_TRUE(move(u"/var/spool/away"_s, daemon));
    QThread::msleep(200); // the watcher has read the moves and let their first halves expire
    ASSERT_EQ(print(u"3"_s, u"daemon"_s).exitCode, 0);
    // Finished where renames cannot refuse to replace.
    ASSERT_EQ(print(u"4"_s, u"daemon"_s, true).exitCode, 0);
    ASSERT_TRUE(watch.waitForOutput(appearedJob(daemon, u"4"_s)))
        << watch.output().data() << watch.error().data();
    EXPECT_TRUE(watch.output().contains(appearedJob(daemon, u"2"_s)));
    EXPECT_TRUE(watch.output().contains(appearedJob(daemon, u"3"_s)));

    // Events lost while the watcher cannot read: a directory chain too deep to scan, a user
    // directory that leaves the tree meanwhile, jobs everywhere.
    ASSERT_EQ(print(u"5"_s, u"nobody-here"_s).exitCode, 0);
    ASSERT_EQ(kill(static_cast<pid_t>(watch.processId()), SIGSTOP), 0);
    ASSERT_TRUE(move(daemon, u"/var/spool/left"_s));
    overflowTheQueue(anonymous);
    // Jobs on both sides of the chain, whatever order the directory lists them in.
    ASSERT_EQ(print(u"6"_s, u"nobody-here"_s).exitCode, 0);
    makeDeepChain(anonymous);
    ASSERT_EQ(print(u"7"_s, u"nobody-here"_s).exitCode, 0);
    ASSERT_EQ(print(u"8"_s, u"daemon"_s).exitCode, 0);
    ASSERT_EQ(kill(static_cast<pid_t>(watch.processId()), SIGCONT), 0);
    for (const char *job : {"5", "6", "7"}) {
        EXPECT_TRUE(watch.waitForOutput(appearedJob(anonymous, QString::fromLatin1(job))))
            << job << watch.output().data();
    }
    EXPECT_TRUE(watch.waitForOutput(appearedJob(daemon, u"8"_s)));
    // What lies deeper than a path may be long cannot be watched or scanned: it is said so.
    EXPECT_TRUE(watch.waitForError("File name too long")) << watch.error().data();
    finishJob(u"/var/spool/left"_s, u"job_9 outside"_s);
    ASSERT_EQ(print(u"10"_s, u"daemon"_s).exitCode, 0);
    ASSERT_TRUE(watch.waitForOutput(appearedJob(daemon, u"10"_s)));
    EXPECT_FALSE(watch.output().contains("outside"));
}

// A directory moved within the tree: each of its jobs is reported once, where it is now.
TEST_F(ZekSpoolWatchTest, ReportsTheJobsOfADirectoryMovedInsideTheTreeOnceWhereTheyAre)
{
    ASSERT_TRUE(QDir().mkpath(kRoot));
    BackgroundProcess watch(kWatch, {});
    ASSERT_TRUE(watch.waitForError("watching " + kRoot.toUtf8())) << watch.error().data();
    // Filled, then renamed, before the watcher read that it was made.
    ASSERT_EQ(kill(static_cast<pid_t>(watch.processId()), SIGSTOP), 0);
    ASSERT_TRUE(QDir().mkpath(kRoot + u"/u.new"_s));
    finishJob(kRoot + u"/u.new"_s, u"job_1 filled"_s);
    ASSERT_TRUE(move(kRoot + u"/u.new"_s, kRoot + u"/u"_s));
    ASSERT_EQ(kill(static_cast<pid_t>(watch.processId()), SIGCONT), 0);
    // Archived in place within the watcher's one-second window.
    ASSERT_TRUE(QDir().mkpath(kRoot + u"/a"_s));
    QThread::msleep(300);
    finishJob(kRoot + u"/a"_s, u"job_2 archived"_s);
    QThread::msleep(200);
    ASSERT_TRUE(move(kRoot + u"/a"_s, kRoot + u"/a.old"_s));

    const QByteArray filled = appeared(kRoot + u"/u/job_1 filled.pdf"_s);
    const QByteArray archived = appeared(kRoot + u"/a.old/job_2 archived.pdf"_s);
    EXPECT_TRUE(watch.waitForOutput(filled, 10000)) << watch.output().data();
    EXPECT_TRUE(watch.waitForOutput(archived, 10000)) << watch.output().data();
    EXPECT_EQ(reportsAfterAWhile(watch), 2) << watch.output().data();
}

// Events lost while 6,000 jobs were spooled, and more spooled while it catches up: each job is
// reported once, by the scan or by its own event, never by both.
TEST_F(ZekSpoolWatchTest, ReportsEachJobOnceAcrossLostEvents)
{
    const QString user = kRoot + u"/daemon"_s;
    ASSERT_TRUE(QDir().mkpath(user));
    BackgroundProcess watch(kWatch, {});
    ASSERT_TRUE(watch.waitForError("watching " + kRoot.toUtf8())) << watch.error().data();
    ASSERT_EQ(kill(static_cast<pid_t>(watch.processId()), SIGSTOP), 0);
    for (int job = 1; job <= 6000; ++job) {
        finishJob(user, u"job_%1 Lost"_s.arg(job));
    }
    ASSERT_EQ(kill(static_cast<pid_t>(watch.processId()), SIGCONT), 0);
    for (int job = 6001; job <= 6300; ++job) {
        finishJob(user, u"job_%1 Caught"_s.arg(job));
    }
    EXPECT_TRUE(watch.waitForOutput(appeared(user + u"/job_6300 Caught.pdf"_s)));
    for (int waited = 0; watch.output().count("Printed PDF appeared: ") < 6300 && waited < 30;
         ++waited) {
        watch.readMore(1000);
    }
    EXPECT_EQ(reportsAfterAWhile(watch), 6300);
    const QList<QByteArray> lines = watch.output().split('\n');
    const QSet<QByteArray> distinct(lines.cbegin(), lines.cend());
    EXPECT_EQ(distinct.size() - 1, 6300); // and the empty last line
}

// A user's directory whose rights change back and forth, watched by an ordinary user: what came
// while they could not read it is reported once they can again.
TEST_F(ZekSpoolWatchTest, ReportsWhatCameWhileADirectoryCouldNotBeRead)
{
    const QString user = kRoot + u"/alice"_s;
    ASSERT_TRUE(QDir().mkpath(user));
    const QByteArray path = QFile::encodeName(user);
    ASSERT_EQ(::chmod(path.constData(), 0700), 0);
    BackgroundProcess watch(u"setpriv"_s,
                            {"--reuid=daemon", "--regid=daemon", "--clear-groups", kWatch});
    ASSERT_TRUE(watch.waitForError("watching " + kRoot.toUtf8())) << watch.error().data();
    for (const mode_t mode : {0755, 0700}) {
        ASSERT_EQ(::chmod(path.constData(), mode), 0);
        QThread::msleep(300);
    }
    const QString first = finishJob(user, u"job_1 hidden"_s);
    const QString second = finishJob(user, u"job_2 hidden"_s);
    QThread::msleep(300);
    ASSERT_EQ(::chmod(path.constData(), 0755), 0);
    EXPECT_TRUE(watch.waitForOutput(appeared(first), 10000)) << watch.output().data();
    EXPECT_TRUE(watch.waitForOutput(appeared(second), 10000)) << watch.output().data();
    EXPECT_EQ(reportsAfterAWhile(watch), 2) << watch.output().data();
}

// A file system mounted over a user's directory after the watcher started: its jobs are reported.
TEST_F(ZekSpoolWatchTest, ReportsJobsOfAFileSystemMountedOverAUsersDirectory)
{
    const QString user = kRoot + u"/daemon"_s;
    ASSERT_TRUE(QDir().mkpath(user));
    BackgroundProcess watch(kWatch, {});
    ASSERT_TRUE(watch.waitForError("watching " + kRoot.toUtf8())) << watch.error().data();
    ASSERT_EQ(runProcess(u"mount"_s, {"-t", "tmpfs", "zek-user", user}).exitCode, 0);
    QThread::msleep(300);
    for (int job = 1; job <= 5; ++job) {
        finishJob(user, u"job_%1 Mounted"_s.arg(job));
    }
    EXPECT_TRUE(watch.waitForOutput(appeared(user + u"/job_5 Mounted.pdf"_s), 10000))
        << watch.output().data();
    EXPECT_EQ(reportsAfterAWhile(watch), 5) << watch.output().data();
    runProcess(u"umount"_s, {user});
}

// The user's inotify watch limit reached (60 here, in a user namespace of the watcher's own, so
// the machine's limit stays as it is): the directories left out are named, and watched once
// watches are given up, with what came meanwhile.
TEST_F(ZekSpoolWatchTest, WatchesWhatTheLimitLeftOutOnceWatchesAreFree)
{
    for (int directory = 0; directory < 100; ++directory) {
        ASSERT_TRUE(QDir().mkpath(kRoot + u"/u%1"_s.arg(directory)));
    }
    BackgroundProcess watch(u"unshare"_s,
                            {u"--user"_s, u"--map-root-user"_s, u"sh"_s, u"-c"_s,
                             u"echo 60 >/proc/sys/user/max_inotify_watches && exec "_s + kWatch});
    ASSERT_TRUE(watch.waitForError("watching " + kRoot.toUtf8())) << watch.error().data();
    EXPECT_TRUE(watch.error().contains("No space left on device")) << watch.error().data();
    for (int directory = 0; directory < 60; ++directory) {
        ASSERT_TRUE(QDir(kRoot + u"/u%1"_s.arg(directory)).removeRecursively());
    }
    QThread::msleep(300);
    for (int directory = 60; directory < 100; ++directory) {
        finishJob(kRoot + u"/u%1"_s.arg(directory), u"job_%1 Left"_s.arg(directory));
    }
    EXPECT_TRUE(watch.waitForOutput(appeared(kRoot + u"/u99/job_99 Left.pdf"_s), 10000));
    EXPECT_EQ(reportsAfterAWhile(watch), 40) << watch.output().data();
}

// Names as the file system has them: not UTF-8 (a job renamed by hand, a user name in a legacy
// encoding), or with a line break. Each job is reported, on one line, shown with replacement
// characters and escapes.
TEST_F(ZekSpoolWatchTest, ReportsJobsWhateverTheirNamesOnOneLineEach)
{
    ASSERT_TRUE(QDir().mkpath(kRoot + u"/daemon"_s));
    BackgroundProcess watch(kWatch, {});
    ASSERT_TRUE(watch.waitForError("watching " + kRoot.toUtf8())) << watch.error().data();
    const QByteArray root = QFile::encodeName(kRoot);
    ASSERT_EQ(::mkdir(root + "/b\xFFob", 0755), 0);
    QThread::msleep(300);
    finishJob(root + "/daemon", QByteArray("caf\xE9"));
    finishJob(root + "/b\xFFob", QByteArray("job_5 Legacy"));
    finishJob(root + "/daemon", QByteArray("job_6 two\nlines"));
    for (const char *shown : {"/daemon/caf\xEF\xBF\xBD.pdf", "/b\xEF\xBF\xBDob/job_5 Legacy.pdf",
                              "/daemon/job_6 two\\nlines.pdf"}) {
        EXPECT_TRUE(watch.waitForOutput("Printed PDF appeared: " + root + shown + '\n', 10000))
            << shown << watch.output().data();
    }
}

// The spool root moved to another disk by a link, and a relative root that is not there yet.
TEST_F(ZekSpoolWatchTest, FollowsTheSpoolRootWhereverItsPathLeads)
{
    const QString disk = u"/var/spool/disk"_s;
    ASSERT_TRUE(QDir().mkpath(disk + u"/ZEKPrinter"_s));
    ASSERT_TRUE(QFile::link(disk + u"/ZEKPrinter"_s, kRoot));
    ASSERT_TRUE(QDir().mkpath(disk + u"2"_s));
    BackgroundProcess linked(kWatch, {});
    BackgroundProcess relative(kWatch, {u"ZEKPrinter"_s}, disk + u"2"_s);
    ASSERT_TRUE(linked.waitForError("watching")) << linked.error().data();
    ASSERT_TRUE(relative.waitForError("watching")) << relative.error().data();

    const QString user = kRoot + u"/daemon"_s;
    ASSERT_EQ(print(u"1"_s, u"daemon"_s).exitCode, 0);
    EXPECT_TRUE(linked.waitForOutput(appearedJob(user, u"1"_s))) << linked.output().data();

    // The disk's directory replaced: a new tree at the same path, the old one elsewhere.
    ASSERT_TRUE(move(disk, u"/var/spool/old disk"_s));
    ASSERT_TRUE(QDir().mkpath(disk + u"/ZEKPrinter"_s));
    finishJob(u"/var/spool/old disk/ZEKPrinter/daemon"_s, u"job_2 stale"_s);
    ASSERT_EQ(print(u"3"_s, u"daemon"_s).exitCode, 0);
    EXPECT_TRUE(linked.waitForOutput(appearedJob(user, u"3"_s))) << linked.output().data();
    EXPECT_FALSE(linked.output().contains("stale"));

    ASSERT_TRUE(QDir().mkpath(disk + u"2/ZEKPrinter/someone"_s));
    const QString job = finishJob(disk + u"2/ZEKPrinter/someone"_s, u"job_4 relative"_s);
    EXPECT_TRUE(relative.waitForOutput(appeared(job))) << relative.output().data();
}

} // namespace
