// The real ZEKPrinter binary, as CUPS runs it: as root, in a mount namespace
// whose /var/spool is a fresh tmpfs (see with-private-spool.sh).

#include "ProcessRunner.h"
#include "SpoolFiles.h"

#include <QByteArray>
#include <filesystem>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const QString kPrinter = QStringLiteral(ZEK_PRINTER_PATH);
const std::string kRoot = "/var/spool/ZEKPrinter";

ProcessResult print(const QStringList &arguments, const QByteArray &input)
{
    return runProcess(kPrinter, arguments, input);
}

uid_t uidOf(const char *name)
{
    const passwd *entry = getpwnam(name);
    return entry ? entry->pw_uid : static_cast<uid_t>(-1);
}

const std::string kShimLog = "/var/spool/zek-shim.log";

// Runs the backend with the file system shim preloaded (FileSystemShim.cpp),
// its log started afresh. The child inherits the environment set here.
ProcessResult printShimmed(const QStringList &arguments, const QByteArray &input,
                           bool withoutNoReplaceRenames = false)
{
    fs::remove(kShimLog);
    qputenv("LD_PRELOAD", ZEK_FS_SHIM_PATH);
    qputenv("ZEK_SHIM_LOG", QByteArray::fromStdString(kShimLog));
    if (withoutNoReplaceRenames) {
        qputenv("ZEK_SHIM_NOREPLACE_EINVAL", "1");
    }
    auto result = print(arguments, input);
    for (const char *name : {"LD_PRELOAD", "ZEK_SHIM_LOG", "ZEK_SHIM_NOREPLACE_EINVAL"}) {
        qunsetenv(name);
    }
    return result;
}

struct DirectoryState {
    QByteArray call;
    uid_t uid = 0;
    mode_t mode = 0;
};

// What the shim saw `directory` become after each change the backend made.
std::vector<DirectoryState> statesOf(const std::string &directory)
{
    std::vector<DirectoryState> states;
    for (const QByteArray &line : readFile(kShimLog).split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 4 || fields[1] == "refused") {
            continue;
        }
        const qsizetype pathStart = fields[0].size() + fields[1].size() + fields[2].size() + 3;
        if (line.sliced(pathStart).toStdString() == directory) {
            states.push_back({fields[0], fields[1].toUInt(), fields[2].toUInt(nullptr, 8)});
        }
    }
    return states;
}

// The events of one name among what the watch has queued.
std::vector<uint32_t> eventsFor(int watch, const std::string &name)
{
    std::vector<uint32_t> masks;
    alignas(inotify_event) char buffer[65536];
    for (ssize_t n; (n = read(watch, buffer, sizeof buffer)) > 0;) {
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            if (event->len > 0 && name == event->name) {
                masks.push_back(event->mask);
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return masks;
}

class ZEKPrinterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::remove_all(kRoot);
        // What CUPS gives its backends: every mode that matters must be set
        // explicitly.
        umask(0077);
    }
};

TEST_F(ZEKPrinterTest, ListsItsDeviceWithoutArgumentsAndRefusesTooFew)
{
    const auto listing = print({}, {});
    EXPECT_EQ(listing.exitCode, 0);
    EXPECT_EQ(listing.standardOutput, "direct zekprinter:/ \"ZEK ZEKPrinter\" \"ZEK laser device\" "
                                      "\"MFG:ZEK;MDL:ZEKPrinter;CMD:PDF;\" \"\"\n");
    for (const QStringList &arguments : {QStringList{"1"}, QStringList{"1", "daemon"}}) {
        const auto result = print(arguments, "%PDF");
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_TRUE(result.standardError.contains("Usage:"));
        EXPECT_TRUE(result.standardOutput.isEmpty());
    }
    EXPECT_FALSE(fs::exists(kRoot));
}

TEST_F(ZEKPrinterTest, SpoolsAJobOfAKnownUser)
{
    const QByteArray pdf = "%PDF-1.4\nbody\n%%EOF\n";
    const auto result =
        print({"42", "daemon", "Quarterly report.pages", "1", "", "/tmp/ignored"}, pdf);
    EXPECT_EQ(result.exitCode, 0) << result.standardError.toStdString();
    EXPECT_TRUE(result.standardOutput.isEmpty());
    const std::string job = kRoot + "/daemon/job_42 Quarterly.pdf";
    EXPECT_EQ(readFile(job), pdf);
    EXPECT_FALSE(fs::exists(kRoot + "/daemon/job_42 Quarterly.~pdf"));
    EXPECT_EQ(statOf(job).st_uid, uidOf("daemon"));
    EXPECT_EQ(statOf(job).st_mode & 07777, 0644u);
    EXPECT_EQ(statOf(kRoot).st_mode & 07777, 0755u);
    EXPECT_EQ(statOf(kRoot).st_uid, 0u);
}

TEST_F(ZEKPrinterTest, FinishedJobOfTheSameNameIsKept)
{
    ASSERT_EQ(print({"5", "daemon", "Same"}, "%PDF first").exitCode, 0);
    EXPECT_EQ(print({"5", "daemon", "Same"}, "%PDF second").exitCode, 3);
    EXPECT_EQ(readFile(kRoot + "/daemon/job_5 Same.pdf"), QByteArray("%PDF first"));
    EXPECT_EQ(readFile(kRoot + "/daemon/job_5 Same.~pdf"), QByteArray("%PDF second"));
}

TEST_F(ZEKPrinterTest, PlainFileInPlaceOfTheUserDirectoryIsStatusOne)
{
    fs::create_directories(kRoot);
    writeFile(kRoot + "/daemon", "");
    const auto result = print({"1", "daemon", "t"}, "%PDF");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.standardError.contains(
        QByteArray("Error creating printUserDir: /var/spool/ZEKPrinter/daemon")));
}

// Whatever another user plants under the temporary name is never written through nor finalized.
TEST_F(ZEKPrinterTest, PlantedLinksAndSpecialFilesAreNeverWrittenNorFinalized)
{
    const std::string anonymous = kRoot + "/anonymous users";
    ASSERT_EQ(print({"1", "nobody-here", "setup"}, "%PDF").exitCode, 0);
    const std::string victim = "/var/spool/victim";
    writeFile(victim, "precious");
    const std::function<void(const std::string &)> plants[] = {
        [&](const std::string &at) { fs::create_symlink(victim, at); },
        [&](const std::string &at) { fs::create_hard_link(victim, at); },
        [](const std::string &at) { ASSERT_EQ(mkfifo(at.c_str(), 0666), 0); },
        [](const std::string &at) { fs::create_directory(at); },
    };
    for (int job = 0; job < 4; ++job) {
        const std::string planted = anonymous + "/job_" + std::to_string(job) + " Report.~pdf";
        plants[job](planted);
        const fs::file_type type = fs::symlink_status(planted).type();
        const auto result = print({QString::number(job), "nobody-here", "Report"},
                                  "%PDF-1.4 attack" + QByteArray(70000, 'x'));
        EXPECT_EQ(result.exitCode, 3) << job;
        EXPECT_TRUE(result.standardError.contains("Error creating job file")) << job;
        EXPECT_EQ(fs::symlink_status(planted).type(), type) << job;
        EXPECT_FALSE(fs::exists(anonymous + "/job_" + std::to_string(job) + " Report.pdf")) << job;
    }
    EXPECT_EQ(readFile(victim), QByteArray("precious"));
    EXPECT_EQ(statOf(victim).st_uid, 0u);
}

TEST_F(ZEKPrinterTest, SlashInTheJobIdentifierStaysInTheUserDirectory)
{
    fs::create_directories(kRoot + "/anonymous users/job_");
    const auto result = print({"../../x", "nobody-here", "T"}, "%PDF");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(fs::exists(kRoot + "/anonymous users/job_.._.._x T.pdf"));
    EXPECT_FALSE(fs::exists(kRoot + "/x T.pdf"));
}

TEST_F(ZEKPrinterTest, FullDiskIsStatusOneAndLeavesNoJobFile)
{
    const std::string directory = kRoot + "/daemon";
    ASSERT_EQ(print({"1", "daemon", "first"}, "%PDF").exitCode, 0);
    ASSERT_EQ(mount("zek-small", directory.c_str(), "tmpfs", 0, "size=64k,mode=0700"), 0);
    const auto result = print({"2", "daemon", "Big"}, "%PDF" + QByteArray(1 << 20, 'x'));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.standardError.contains("Error writing job file"));
    EXPECT_FALSE(fs::exists(directory + "/job_2 Big.pdf"));
    EXPECT_FALSE(fs::exists(directory + "/job_2 Big.~pdf"));
    umount(directory.c_str());
}

TEST_F(ZEKPrinterTest, DirectoryThatCannotBeHandedOverIsRemoved)
{
    // Run without root: the new directory cannot be given to its user.
    fs::create_directories(kRoot);
    ASSERT_EQ(chown(kRoot.c_str(), uidOf("daemon"), static_cast<gid_t>(-1)), 0);
    const auto result = runProcess(
        "setpriv",
        {"--reuid=daemon", "--regid=daemon", "--clear-groups", kPrinter, "1", "bin", "t"}, "%PDF");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.standardError.contains(
        QByteArray("Error changing attributes for printUserDir: /var/spool/ZEKPrinter/bin")));
    EXPECT_FALSE(fs::exists(kRoot + "/bin"));
}

TEST_F(ZEKPrinterTest, NoAccountForNobodyEitherIsStatusOne)
{
    // This namespace's own /etc/passwd, without "nobody".
    QByteArray withoutNobody;
    for (const QByteArray &line : readFile("/etc/passwd").split('\n')) {
        if (!line.startsWith("nobody:")) {
            withoutNobody += line + '\n';
        }
    }
    const std::string copy = "/var/spool/passwd-without-nobody";
    writeFile(copy, withoutNobody);
    ASSERT_EQ(mount(copy.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr), 0);
    // NSS modules such as systemd's make up "nobody" by themselves.
    const std::string nsswitch = "/var/spool/nsswitch.conf";
    writeFile(nsswitch, "passwd: files\ngroup: files\n");
    ASSERT_EQ(mount(nsswitch.c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr), 0);

    const auto result = print({"1", "no-such-user-zek", "t"}, "%PDF");
    umount("/etc/nsswitch.conf");
    umount("/etc/passwd");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.standardError.contains("nobody"));
    EXPECT_FALSE(fs::exists(kRoot));
}

TEST_F(ZEKPrinterTest, WithoutNoReplaceRenamesTheJobIsStillFinishedByARename)
{
    // The uploader picks up only a file renamed into place.
    const std::string directory = kRoot + "/daemon";
    ASSERT_EQ(print({"1", "daemon", "setup"}, "%PDF").exitCode, 0);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, directory.c_str(), IN_CREATE | IN_MOVED_TO), 0);

    const auto result = printShimmed({"5", "daemon", "Same"}, "%PDF first", true);
    EXPECT_EQ(result.exitCode, 0) << result.standardError.toStdString();
    EXPECT_TRUE(readFile(kShimLog).contains("renameat2 refused"));
    EXPECT_THAT(eventsFor(watch, "job_5 Same.pdf"), testing::ElementsAre(IN_MOVED_TO));
    close(watch);
    const std::string job = directory + "/job_5 Same.pdf";
    EXPECT_EQ(readFile(job), QByteArray("%PDF first"));
    EXPECT_EQ(statOf(job).st_nlink, 1u);
    EXPECT_FALSE(fs::exists(directory + "/job_5 Same.~pdf"));

    EXPECT_EQ(printShimmed({"5", "daemon", "Same"}, "%PDF second", true).exitCode, 3);
    EXPECT_EQ(readFile(job), QByteArray("%PDF first"));
}

TEST_F(ZEKPrinterTest, NewUserDirectoryIsNeverOpenToOthersWhileRootOwnsIt)
{
    struct Case {
        const char *user;
        std::string directory;
        const char *owner;
        mode_t mode;
    };
    const Case cases[] = {
        {.user = "daemon", .directory = kRoot + "/daemon", .owner = "daemon", .mode = 0700},
        {.user = "no-such-user-zek",
         .directory = kRoot + "/anonymous users",
         .owner = "nobody",
         .mode = 0777},
    };
    const auto check = [&](const Case &c) {
        ASSERT_EQ(printShimmed({"1", c.user, "t"}, "%PDF").exitCode, 0);
        const auto states = statesOf(c.directory);
        ASSERT_FALSE(states.empty());
        for (const auto &state : states) {
            if (state.uid == 0) {
                EXPECT_EQ(state.mode, 0700u)
                    << "after " << state.call.toStdString() << ": " << std::oct << state.mode;
            }
        }
        EXPECT_EQ(states.back().uid, uidOf(c.owner));
        EXPECT_EQ(states.back().mode, c.mode);
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.user);
        check(c);
    }
}

} // namespace
