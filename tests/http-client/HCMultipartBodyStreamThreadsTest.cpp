// Reading a body from the main thread and from a worker: the bytes are the
// same, and every part's stream is opened and closed on the main thread.

#include "DataInputStream.h"
#include "MultipartSupport.h"
#include "StreamReading.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <functional>
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

constexpr int kParts = 3;
constexpr qsizetype kPartSize = 100000;

// Builds a body of streamed parts, reads it with `read`, and checks its bytes, and that every
// part's stream was opened and closed on the main thread.
void expectBodyReadBy(const std::function<std::optional<QByteArray>(zek::InputStream &)> &read)
{
    std::vector<std::shared_ptr<RecordingStream>> streams;
    const HCURLRequest request = multipartRequest([&](HCMultipartFormData &formData) {
        for (int i = 0; i < kParts; ++i) {
            streams.push_back(std::make_shared<RecordingStream>(sampleBytes(kPartSize, i)));
            formData.appendPartWithInputStream(streams[i], u"part%1"_s.arg(i), u"%1.bin"_s.arg(i),
                                               kPartSize, u"application/octet-stream"_s);
        }
    });
    const QByteArray boundary = boundaryOf(request).toUtf8();
    QByteArray expected;
    for (int i = 0; i < kParts; ++i) {
        const QByteArray n = QByteArray::number(i);
        expected += (i == 0 ? "--" : "\r\n--") + boundary +
                    "\r\nContent-Disposition: form-data; name=\"part" + n + "\"; filename=\"" + n +
                    ".bin\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
                    sampleBytes(kPartSize, i);
    }
    EXPECT_EQ(read(bodyStreamOf(request)), expected + "\r\n--" + boundary + "--\r\n");
    for (const auto &stream : streams) {
        EXPECT_EQ(stream->openedOn, QCoreApplication::instance()->thread());
        EXPECT_EQ(stream->closedOn, QCoreApplication::instance()->thread());
    }
}

TEST(HCMultipartBodyStreamThreadsTest, ReadOnTheMainThread)
{
    expectBodyReadBy([](zek::InputStream &body) { return readWholeStream(body, 4096); });
}

TEST(HCMultipartBodyStreamThreadsTest, ReadOnAWorkerWhileTheMainThreadRunsItsEventLoop)
{
    expectBodyReadBy([](zek::InputStream &body) {
        std::optional<QByteArray> bytes;
        std::unique_ptr<QThread> worker(
            QThread::create([&] { bytes = readWholeStream(body, 4096); }));
        QEventLoop loop;
        QObject::connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);
        worker->start();
        loop.exec();
        worker->wait();
        return bytes;
    });
}

} // namespace
