// The backend's file steps on a temporary spool root: the user spool
// directory, the copy of the document and the rename to the finished name.

#include "SpoolFiles.h"

#include "Account.h"
#include "FinalizeFile.h"
#include "PipeFeeder.h"
#include "PrintDir.h"
#include "StdinToPdf.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

QByteArray somePdf(qsizetype size)
{
    QByteArray data("%PDF-1.7\n");
    data.reserve(size);
    while (data.size() < size) {
        const quint32 word = QRandomGenerator::global()->generate();
        data.append(reinterpret_cast<const char *>(&word), sizeof word);
    }
    data.truncate(size);
    return data;
}

class SpoolFilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        root_ = dir_.path().toStdString() + "/spool/ZEKPrinter";
        self_ = *zek_account_with_name(getpwuid(getuid())->pw_name);
    }

    // A user spool directory of our own, ready for a job.
    std::string userDirectory()
    {
        auto path = zek_create_print_dir(root_, "someone", self_);
        EXPECT_TRUE(path.has_value());
        return path.value_or(std::string());
    }

    ZEKCopyResult copy(const std::string &path, const QByteArray &input,
                       qsizetype pieceSize = 65536)
    {
        PipeFeeder feeder(input, pieceSize);
        return zek_stdin_to_pdf(path, self_, feeder.readEnd());
    }

    QTemporaryDir dir_;
    std::string root_;
    ZEKAccount self_;
};

TEST(AccountTest, ResolvesNamesThatCanNameADirectory)
{
    const auto root = zek_account_with_name("root");
    ASSERT_TRUE(root.has_value());
    EXPECT_EQ(root->uid, 0u);
    EXPECT_EQ(root->posixName, "root");
    EXPECT_FALSE(zek_account_with_name("no-such-user-zek").has_value());
    for (const char *name : {"", ".", "..", "root/..", "../root"}) {
        EXPECT_FALSE(zek_account_with_name(name).has_value()) << name;
    }
}

TEST_F(SpoolFilesTest, ExistingDirectoryIsUsedUnchanged)
{
    fs::create_directories(root_ + "/bob");
    chmod((root_ + "/bob").c_str(), 0750);
    const auto path = zek_create_print_dir(root_, "bob", self_);
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(statOf(*path).st_mode & 07777, 0750u);
}

TEST_F(SpoolFilesTest, SymbolicLinkInTheWayIsNotFollowed)
{
    fs::create_directories(root_);
    fs::create_directories(dir_.path().toStdString() + "/elsewhere");
    fs::create_directory_symlink(dir_.path().toStdString() + "/elsewhere", root_ + "/dave");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(zek_create_print_dir(root_, "dave", self_).has_value());
    testing::internal::GetCapturedStderr();
}

TEST_F(SpoolFilesTest, SpoolRootIsMadeThroughALinkedParent)
{
    // An administrator's move of the spool tree to a bigger disk.
    const std::string disk = dir_.path().toStdString() + "/bigdisk";
    fs::create_directories(disk);
    fs::create_directory_symlink(disk, dir_.path().toStdString() + "/spool");
    const auto path = zek_create_print_dir(root_, "someone", self_);
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(*path, root_ + "/someone");
    EXPECT_TRUE(S_ISDIR(statOf(disk + "/ZEKPrinter/someone").st_mode));
    EXPECT_EQ(statOf(disk + "/ZEKPrinter").st_mode & 07777, 0755u);
}

TEST_F(SpoolFilesTest, CopiesOnlyPdfsExactlyWhateverThePieces)
{
    const std::string directory = userDirectory();
    const QByteArray pdf = somePdf(3 * 1024 * 1024 + 17);
    const std::pair<QByteArray, qsizetype> cases[] = {
        {pdf.first(20000), 1}, {pdf, 3},         {pdf, 4096},
        {pdf, 1 << 20},        {"", 1},          {"%PD", 1},
        {"%pdf-1.4", 1},       {" %PDF-1.4", 1}, {"%!PS-Adobe-3.0", 1},
        {"%PDF", 1},
    };
    int n = 0;
    for (const auto &[input, piece] : cases) {
        const std::string path = directory + "/job_" + std::to_string(++n) + " x.~pdf";
        if (n % 2 == 0) {
            writeFile(path, QByteArray(5000, 'o')); // an earlier temporary file is emptied
        }
        const bool isPdf = input.startsWith("%PDF");
        EXPECT_EQ(copy(path, input, piece), isPdf ? ZEKCopyResult::Copied : ZEKCopyResult::NotPdf)
            << n;
        // What is refused leaves an empty temporary file.
        EXPECT_EQ(readFile(path), isPdf ? input : QByteArray()) << n;
        EXPECT_TRUE(fs::is_regular_file(path)) << n;
    }
}

TEST_F(SpoolFilesTest, ReadErrorIsAFailedCopyAndLeavesNoFile)
{
    const std::string path = userDirectory() + "/job_1 f.~pdf";
    // Reading from a directory descriptor fails with EISDIR.
    const int unreadable = open(dir_.path().toUtf8().constData(), O_RDONLY | O_DIRECTORY);
    testing::internal::CaptureStderr();
    EXPECT_EQ(zek_stdin_to_pdf(path, self_, unreadable), ZEKCopyResult::CopyFailed);
    testing::internal::GetCapturedStderr();
    close(unreadable);
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(SpoolFilesTest, FinalizeRenamesOnlyTheLastExtension)
{
    const std::string directory = userDirectory();
    const std::string path = directory + "/job_3 Plan.final.~pdf";
    writeFile(path, "%PDF");
    EXPECT_EQ(zek_finalize_file(path), 0);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(readFile(directory + "/job_3 Plan.final.pdf"), QByteArray("%PDF"));
    EXPECT_EQ(zek_finished_path("/a.b/job_1 x"), "/a.b/job_1 x.pdf");
}

} // namespace
