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

TEST(DataInputStreamTest, EndsWithItsLastByte)
{
    zek::DataInputStream stream(QByteArrayLiteral("abcdefghij"));
    char buffer[8];
    EXPECT_EQ(stream.read(buffer, sizeof buffer), -1) << "not open yet";
    stream.open();
    ASSERT_EQ(stream.read(buffer, 4), 4);
    EXPECT_EQ(stream.streamStatus(), StreamStatus::Open);
    ASSERT_EQ(stream.read(buffer, sizeof buffer), 6);
    EXPECT_EQ(QByteArray(buffer, 6), "efghij");
    EXPECT_EQ(stream.streamStatus(), StreamStatus::AtEnd) << "known without another read";
    EXPECT_EQ(stream.read(buffer, sizeof buffer), 0);

    zek::DataInputStream empty{QByteArray()};
    empty.open();
    EXPECT_EQ(empty.streamStatus(), StreamStatus::AtEnd);
}

TEST(FileInputStreamTest, ReadsTheFileAsItIsWhenOpened)
{
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("later.bin"));
    zek::FileInputStream stream(path);
    const QByteArray contents = QByteArray(5000, '\r') + "end";
    QFile file(path); // written only after the stream was made
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size());
    file.close();

    stream.open();
    EXPECT_EQ(readToEnd(stream, 7), contents);
    EXPECT_EQ(stream.streamStatus(), StreamStatus::AtEnd);
    EXPECT_FALSE(stream.streamError());
}

// A failed read is covered by the multipart body's file parts.
TEST(FileInputStreamTest, AFailureToOpenIsAnErrnoError)
{
    QTemporaryDir directory;
    zek::FileInputStream missing(directory.filePath(QStringLiteral("missing")));
    missing.open();
    char byte;
    EXPECT_EQ(missing.read(&byte, 1), -1);
    EXPECT_EQ(missing.streamStatus(), StreamStatus::Error);
    ASSERT_TRUE(missing.streamError());
    EXPECT_EQ(missing.streamError()->domain(), zek::NSPOSIXErrorDomain);
    EXPECT_EQ(missing.streamError()->code(), ENOENT);
    EXPECT_FALSE(missing.streamError()->userInfo().value(zek::NSLocalizedDescriptionKey).isNull());
}

} // namespace
