// Reading a body from the main thread and from a worker: the bytes are the
// same, and every part's stream is opened and closed on the main thread.

#include "DataInputStream.h"
#include "MultipartSupport.h"
#include "StreamReading.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

// A stream over bytes that notes the threads it is opened and closed on.
class RecordingStream final : public zek::InputStream {
public:
    explicit RecordingStream(QByteArray data) : data_(std::move(data)) {}

    void open() override { openedOn = QThread::currentThread(), data_.open(); }
    void close() override { closedOn = QThread::currentThread(), data_.close(); }
    qint64 read(char *buffer, quint64 length) override { return data_.read(buffer, length); }
    bool hasBytesAvailable() const override { return data_.hasBytesAvailable(); }
    zek::StreamStatus streamStatus() const override { return data_.streamStatus(); }
    std::optional<zek::Error> streamError() const override { return data_.streamError(); }

    QThread *openedOn = nullptr;
    QThread *closedOn = nullptr;

private:
    zek::DataInputStream data_;
};

class ReadingThreads : public testing::Test {
protected:
    static constexpr int kParts = 3;
    static constexpr qsizetype kPartSize = 100000;

    ReadingThreads()
    {
        for (int i = 0; i < kParts; ++i) {
            streams.push_back(std::make_shared<RecordingStream>(sampleBytes(kPartSize, i)));
        }
        request = multipartRequest([&](HCMultipartFormData &formData) {
            for (int i = 0; i < kParts; ++i) {
                formData.appendPartWithInputStream(streams[i], u"part%1"_s.arg(i),
                                                   u"%1.bin"_s.arg(i), kPartSize,
                                                   u"application/octet-stream"_s);
            }
        });
    }

    QByteArray expectedBody() const
    {
        const QByteArray boundary = boundaryOf(request).toUtf8();
        QByteArray expected;
        for (int i = 0; i < kParts; ++i) {
            const QByteArray n = QByteArray::number(i);
            expected += (i == 0 ? "--" : "\r\n--") + boundary +
                        "\r\nContent-Disposition: form-data; name=\"part" + n + "\"; filename=\"" +
                        n + ".bin\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
                        sampleBytes(kPartSize, i);
        }
        return expected + "\r\n--" + boundary + "--\r\n";
    }

    void expectPhaseChangesOnTheMainThread() const
    {
        for (const auto &stream : streams) {
            EXPECT_EQ(stream->openedOn, QCoreApplication::instance()->thread());
            EXPECT_EQ(stream->closedOn, QCoreApplication::instance()->thread());
        }
    }

    std::vector<std::shared_ptr<RecordingStream>> streams;
    HCURLRequest request;
};

TEST_F(ReadingThreads, OnTheMainThread)
{
    EXPECT_EQ(readWholeStream(bodyStreamOf(request), 4096), expectedBody());
    expectPhaseChangesOnTheMainThread();
}

TEST_F(ReadingThreads, OnAWorkerWhileTheMainThreadRunsItsEventLoop)
{
    std::optional<QByteArray> bytes;
    std::unique_ptr<QThread> worker(
        QThread::create([&] { bytes = readWholeStream(bodyStreamOf(request), 4096); }));
    QEventLoop loop;
    QObject::connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    loop.exec();
    worker->wait();
    EXPECT_EQ(bytes, expectedBody());
    expectPhaseChangesOnTheMainThread();
}

} // namespace
