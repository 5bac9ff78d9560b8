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

// A stream over bytes that notes the threads it is opened, read and closed on.
class RecordingStream final : public zek::InputStream {
public:
    explicit RecordingStream(QByteArray data) : data_(std::move(data)) {}

    void open() override
    {
        openedOn = QThread::currentThread();
        data_.open();
    }
    void close() override
    {
        closedOn = QThread::currentThread();
        data_.close();
    }
    qint64 read(char *buffer, quint64 maxLength) override
    {
        readOn = QThread::currentThread();
        return data_.read(buffer, maxLength);
    }
    bool hasBytesAvailable() const override { return data_.hasBytesAvailable(); }
    zek::StreamStatus streamStatus() const override { return data_.streamStatus(); }
    std::optional<zek::Error> streamError() const override { return data_.streamError(); }

    QThread *openedOn = nullptr;
    QThread *readOn = nullptr;
    QThread *closedOn = nullptr;

private:
    zek::DataInputStream data_;
};

struct RecordedBody {
    HCURLRequest request;
    std::vector<std::shared_ptr<RecordingStream>> streams;
};

RecordedBody recordedBody(int parts, qsizetype partSize)
{
    RecordedBody body;
    for (int i = 0; i < parts; ++i) {
        body.streams.push_back(std::make_shared<RecordingStream>(sampleBytes(partSize, i)));
    }
    body.request = HCHTTPRequestSerializer().multipartFormRequestWithMethod(
        u"POST"_s, u"http://127.0.0.1/"_s, QVariantMap{},
        [&](HCMultipartFormData &formData) {
            for (int i = 0; i < parts; ++i) {
                formData.appendPartWithInputStream(body.streams[i], u"part%1"_s.arg(i),
                                                   u"%1.bin"_s.arg(i), partSize,
                                                   u"application/octet-stream"_s);
            }
        },
        nullptr);
    return body;
}

// The body recordedBody() makes, written out by hand.
QByteArray expectedBody(const RecordedBody &body, int parts, qsizetype partSize)
{
    const QByteArray boundary = boundaryOf(body.request).toUtf8();
    QByteArray expected;
    for (int i = 0; i < parts; ++i) {
        expected += (i == 0 ? "--" : "\r\n--") + boundary +
                    "\r\nContent-Disposition: form-data; name=\"part" + QByteArray::number(i) +
                    "\"; filename=\"" + QByteArray::number(i) +
                    ".bin\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
                    sampleBytes(partSize, i);
    }
    return expected + "\r\n--" + boundary + "--\r\n";
}

QThread *mainThread()
{
    return QCoreApplication::instance()->thread();
}

TEST(ReadingThreads, OnTheMainThread)
{
    RecordedBody body = recordedBody(3, 10000);
    EXPECT_EQ(readWholeStream(bodyStreamOf(body.request), 4096), expectedBody(body, 3, 10000));
    for (const auto &stream : body.streams) {
        EXPECT_EQ(stream->openedOn, mainThread());
        EXPECT_EQ(stream->closedOn, mainThread());
    }
}

TEST(ReadingThreads, OnAWorkerWhileTheMainThreadRunsItsEventLoop)
{
    RecordedBody body = recordedBody(3, 100000);

    std::optional<QByteArray> bytes;
    std::unique_ptr<QThread> worker(
        QThread::create([&] { bytes = readWholeStream(bodyStreamOf(body.request), 4096); }));
    QEventLoop loop;
    QObject::connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    loop.exec();
    worker->wait();

    EXPECT_EQ(bytes, expectedBody(body, 3, 100000));
    for (const auto &stream : body.streams) {
        EXPECT_EQ(stream->readOn, worker.get());
        EXPECT_EQ(stream->openedOn, mainThread()) << "phase changes run on the main thread";
        EXPECT_EQ(stream->closedOn, mainThread());
    }
}

} // namespace
