// zek-spool-watch over the real spool tree, fed by the real ZEKPrinter. Runs as root in a
// mount namespace whose /var/spool is a fresh tmpfs (see with-private-spool.sh).

#include "BackgroundProcess.h"
#include "ProcessRunner.h"
#include "SpoolFiles.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace {

const QString kWatch = QStringLiteral(ZEK_SPOOL_WATCH_PATH);
const QString kPrinter = QStringLiteral(ZEK_PRINTER_PATH);
const QString kRoot = QStringLiteral("/var/spool/ZEKPrinter");
const QByteArray kPdf = "%PDF-1.4\n%%EOF\n";

QByteArray appeared(const QString &path)
{
    return "Printed PDF appeared: " + path.toUtf8() + '\n';
}

class SpoolWatch : public ::testing::Test {
protected:
    void SetUp() override { QDir(kRoot).removeRecursively(); }
};

TEST_F(SpoolWatch, ReportsEveryJobOfTheBackendInATreeThatDidNotExistYet)
{
    BackgroundProcess watch(kWatch, {QStringLiteral("-v")});
    ASSERT_TRUE(watch.waitForError("watching " + kRoot.toUtf8())) << watch.error().data();

    EXPECT_EQ(runProcess(kPrinter, {"42", "daemon", "Quarterly report.pages"}, kPdf).exitCode, 0);
    EXPECT_EQ(runProcess(kPrinter, {"7", "no-such-user-zek", "(stdin)"}, kPdf).exitCode, 0);
    EXPECT_EQ(runProcess(kPrinter, {"3", "daemon", "notes.txt"}, "%!PS-Adobe-3.0\n").exitCode, 2);
    EXPECT_EQ(runProcess(kPrinter, {"43", "daemon", "Last one.pdf"}, kPdf).exitCode, 0);

    const QByteArray last = appeared(kRoot + QStringLiteral("/daemon/job_43 Last.pdf"));
    ASSERT_TRUE(watch.waitForOutput(last)) << watch.output().data();
    const QByteArray lines = watch.output();
    EXPECT_TRUE(lines.contains(appeared(kRoot + QStringLiteral("/daemon/job_42 Quarterly.pdf"))));
    EXPECT_TRUE(lines.contains(
        appeared(kRoot + QStringLiteral("/anonymous users/job_7 Untitled document.pdf"))));
    EXPECT_EQ(lines.count("Printed PDF appeared: "), 3);
    EXPECT_TRUE(lines.contains("<FWEvent: ")); // -v
}

TEST_F(SpoolWatch, SkipsDirectoriesItCannotReadAndGoesOnWatching)
{
    const QString hidden = kRoot + QStringLiteral("/root");
    const QString anonymous = kRoot + QStringLiteral("/anonymous users");
    ASSERT_TRUE(QDir().mkpath(hidden + QStringLiteral("/inner")));
    ASSERT_TRUE(QDir().mkpath(anonymous));
    QFile::setPermissions(hidden, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile::setPermissions(anonymous, QFileDevice::Permissions(0x7777));

    BackgroundProcess watch(QStringLiteral("setpriv"),
                            {"--reuid=nobody", "--regid=nogroup", "--clear-groups", kWatch});
    ASSERT_TRUE(watch.waitForError("watching " + kRoot.toUtf8())) << watch.error().data();
    finishJob(hidden, QStringLiteral("job_1 secret"));
    finishJob(hidden + QStringLiteral("/inner"), QStringLiteral("job_2 secret"));
    const QString job = finishJob(anonymous, QStringLiteral("job_3 public"));

    ASSERT_TRUE(watch.waitForOutput(appeared(job))) << watch.output().data();
    EXPECT_FALSE(watch.output().contains("secret"));
}

} // namespace
