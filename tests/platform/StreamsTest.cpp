// The input streams over bytes and over files: status, end and failures.

#include "DataInputStream.h"
#include "FileInputStream.h"
#include "StreamReading.h"

#include <QFile>
#include <QTemporaryDir>
#include <cerrno>
#include <gtest/gtest.h>

using zek::StreamStatus;

namespace {

TEST(DataInputStream, DeliversItsBytesAndEndsWithTheLastOne)
{
    zek::DataInputStream stream(QByteArrayLiteral("abcdefghij"));
    char buffer[8];
    EXPECT_EQ(stream.read(buffer, sizeof buffer), -1) << "not open yet";
    stream.open();
    EXPECT_TRUE(stream.hasBytesAvailable());
    ASSERT_EQ(stream.read(buffer, 4), 4);
    EXPECT_EQ(QByteArray(buffer, 4), "abcd");
    EXPECT_EQ(stream.streamStatus(), StreamStatus::Open);
    ASSERT_EQ(stream.read(buffer, sizeof buffer), 6);
    EXPECT_EQ(QByteArray(buffer, 6), "efghij");
    EXPECT_EQ(stream.streamStatus(), StreamStatus::AtEnd);
    EXPECT_FALSE(stream.hasBytesAvailable());
    EXPECT_EQ(stream.read(buffer, sizeof buffer), 0);
    stream.close();
    EXPECT_EQ(stream.streamStatus(), StreamStatus::Closed);
    EXPECT_EQ(stream.read(buffer, sizeof buffer), -1);
}

TEST(DataInputStream, EmptyDataIsAtItsEndOnceOpen)
{
    zek::DataInputStream stream{QByteArray()};
    stream.open();
    EXPECT_EQ(stream.streamStatus(), StreamStatus::AtEnd);
    char byte;
    EXPECT_EQ(stream.read(&byte, 1), 0);
}

class FileInputStreamTest : public testing::Test {
protected:
    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString path = directory.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }

    QTemporaryDir directory;
};

TEST_F(FileInputStreamTest, ReadsTheFileAsItIsWhenOpened)
{
    const QString path = directory.filePath(QStringLiteral("later.bin"));
    zek::FileInputStream stream(path);
    QByteArray contents;
    for (int i = 0; i < 5000; ++i) {
        contents.append(static_cast<char>(i * 7));
    }
    write(QStringLiteral("later.bin"), contents); // only after the stream was made

    stream.open();
    EXPECT_EQ(readToEnd(stream, 7), contents);
    EXPECT_EQ(stream.streamStatus(), StreamStatus::AtEnd);
    stream.close();
    EXPECT_EQ(stream.streamStatus(), StreamStatus::Closed);
    EXPECT_FALSE(stream.streamError());
}

TEST_F(FileInputStreamTest, AMissingFileFailsToOpen)
{
    zek::FileInputStream stream(directory.filePath(QStringLiteral("missing")));
    stream.open();
    EXPECT_EQ(stream.streamStatus(), StreamStatus::Error);
    char byte;
    EXPECT_EQ(stream.read(&byte, 1), -1);
    ASSERT_TRUE(stream.streamError());
    EXPECT_EQ(stream.streamError()->domain(), zek::NSPOSIXErrorDomain);
    EXPECT_EQ(stream.streamError()->code(), ENOENT);
    EXPECT_FALSE(stream.streamError()
                     ->userInfo()
                     .value(zek::NSLocalizedDescriptionKey)
                     .toString()
                     .isEmpty());
}

TEST_F(FileInputStreamTest, AReadFailureIsReported)
{
    zek::FileInputStream stream(directory.path()); // a directory opens but cannot be read
    stream.open();
    char byte;
    EXPECT_EQ(stream.read(&byte, 1), -1);
    EXPECT_EQ(stream.streamStatus(), StreamStatus::Error);
    ASSERT_TRUE(stream.streamError());
    EXPECT_EQ(stream.streamError()->code(), EISDIR);
}

} // namespace
