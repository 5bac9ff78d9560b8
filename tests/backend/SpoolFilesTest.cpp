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

class SpoolFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        root_ = dir_.path().toStdString() + "/spool/ZEKPrinter";
        self_ = *zek_account_with_name(currentUserName());
    }

    static std::string currentUserName()
    {
        const auto *entry = getpwuid(getuid());
        return entry ? entry->pw_name : "root";
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

TEST(Account, ResolvesNamesThatCanNameADirectory)
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

TEST_F(SpoolFiles, ExistingDirectoryIsUsedUnchanged)
{
    fs::create_directories(root_ + "/bob");
    chmod((root_ + "/bob").c_str(), 0750);
    const auto path = zek_create_print_dir(root_, "bob", self_);
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(statOf(*path).st_mode & 07777, 0750u);
}

TEST_F(SpoolFiles, SymbolicLinkInTheWayIsNotFollowed)
{
    fs::create_directories(root_);
    fs::create_directories(dir_.path().toStdString() + "/elsewhere");
    fs::create_directory_symlink(dir_.path().toStdString() + "/elsewhere", root_ + "/dave");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(zek_create_print_dir(root_, "dave", self_).has_value());
    testing::internal::GetCapturedStderr();
}

TEST_F(SpoolFiles, SpoolRootIsMadeThroughALinkedParent)
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

TEST_F(SpoolFiles, CopiesPdfExactlyWhateverThePieces)
{
    const std::string directory = userDirectory();
    const QByteArray pdf = somePdf(3 * 1024 * 1024 + 17);
    for (const qsizetype piece : {1, 3, 4096, 1 << 20}) {
        const QByteArray input = piece == 1 ? pdf.first(20000) : pdf;
        const std::string path = directory + "/job_" + std::to_string(piece) + " x.~pdf";
        EXPECT_EQ(copy(path, input, piece), ZEKCopyResult::Copied) << piece;
        EXPECT_EQ(readFile(path), input) << piece;
    }
}

TEST_F(SpoolFiles, OnlyWhatBeginsWithThePdfSignatureIsCopied)
{
    const std::string directory = userDirectory();
    int n = 0;
    for (const QByteArray &input :
         {QByteArray(), QByteArray("%PD"), QByteArray("%pdf-1.4"), QByteArray(" %PDF-1.4"),
          QByteArray("%!PS-Adobe-3.0"), QByteArray("%PDF")}) {
        const std::string path = directory + "/job_" + std::to_string(++n) + " b.~pdf";
        const bool isPdf = input.startsWith("%PDF");
        EXPECT_EQ(copy(path, input, 1), isPdf ? ZEKCopyResult::Copied : ZEKCopyResult::NotPdf)
            << input.toStdString();
        // What is refused leaves an empty temporary file.
        EXPECT_EQ(readFile(path), isPdf ? input : QByteArray()) << input.toStdString();
        EXPECT_TRUE(fs::is_regular_file(path));
    }
}

TEST_F(SpoolFiles, EarlierTemporaryFileIsEmptiedAndReused)
{
    const std::string path = userDirectory() + "/job_1 d.~pdf";
    writeFile(path, QByteArray(5000, 'o'));
    const QByteArray pdf = somePdf(1000);
    EXPECT_EQ(copy(path, pdf), ZEKCopyResult::Copied);
    EXPECT_EQ(readFile(path), pdf);
}

TEST_F(SpoolFiles, PlantedLinksAndSpecialFilesAreNeverWritten)
{
    const std::string directory = userDirectory();
    const std::string victim = dir_.path().toStdString() + "/victim";
    writeFile(victim, "precious");

    const std::string symlinkJob = directory + "/job_1 e.~pdf";
    fs::create_symlink(victim, symlinkJob);
    const std::string hardlinkJob = directory + "/job_2 e.~pdf";
    fs::create_hard_link(victim, hardlinkJob);
    const std::string fifoJob = directory + "/job_3 e.~pdf";
    ASSERT_EQ(mkfifo(fifoJob.c_str(), 0666), 0);
    const std::string dirJob = directory + "/job_4 e.~pdf";
    fs::create_directory(dirJob);

    for (const auto &path : {symlinkJob, hardlinkJob, fifoJob, dirJob}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(copy(path, somePdf(70000)), ZEKCopyResult::FileUnavailable) << path;
        EXPECT_NE(testing::internal::GetCapturedStderr().find("Error creating job file"),
                  std::string::npos);
    }
    EXPECT_EQ(readFile(victim), QByteArray("precious"));
    EXPECT_TRUE(fs::is_symlink(symlinkJob));
    EXPECT_TRUE(fs::is_fifo(fifoJob));
}

TEST_F(SpoolFiles, ReadErrorIsAFailedCopyAndLeavesNoFile)
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

TEST_F(SpoolFiles, FinalizeRenamesOnlyTheLastExtension)
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
