// How fast the multipart body stream delivers a large upload: a 256 MiB
// single-part body read in 64 KiB pieces, against memcpy of the same bytes
// in the same pieces. Prints numbers; asserts nothing.

#include "HCHTTPRequestSerializer.h"
#include "HCMultipartBodyStream.h"

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

namespace {

constexpr qsizetype kBodySize = 256 * 1024 * 1024;
constexpr quint64 kReadSize = 64 * 1024;
constexpr int kRounds = 5;

volatile unsigned char sink; // keeps the copies from being optimised away

double bestSeconds(const std::function<void()> &run)
{
    double best = 1e300;
    for (int round = 0; round < kRounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return best;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);

    QByteArray file(kBodySize, Qt::Uninitialized);
    for (qsizetype i = 0; i < file.size(); ++i) {
        file[i] = static_cast<char>(i * 31 + (i >> 13));
    }
    const auto built = HCHTTPRequestSerializer().multipartFormRequestWithMethod(
        QStringLiteral("POST"), QStringLiteral("http://127.0.0.1:5004/print"), QVariantMap{},
        [&](HCMultipartFormData &formData) {
            formData.appendPartWithFileData(file, QStringLiteral("file"),
                                            QStringLiteral("bench.pdf"),
                                            QStringLiteral("application/pdf"));
        },
        nullptr);
    const HCURLRequest &request = built.value();
    const auto &body = dynamic_cast<HCMultipartBodyStream &>(*request.HTTPBodyStream());
    std::vector<char> buffer(kReadSize);

    quint64 streamed = 0;
    const double streamSeconds = bestSeconds([&] {
        const auto stream = body.copy(); // every round reads a fresh stream
        stream->open();
        streamed = 0;
        for (qint64 count; (count = stream->read(buffer.data(), kReadSize)) > 0;) {
            streamed += static_cast<quint64>(count);
        }
        stream->close();
        sink = static_cast<unsigned char>(buffer[0]);
    });

    const double copySeconds = bestSeconds([&] {
        for (qsizetype offset = 0; offset < file.size(); offset += kReadSize) {
            const auto length = std::min<qsizetype>(kReadSize, file.size() - offset);
            std::memcpy(buffer.data(), file.constData() + offset, static_cast<size_t>(length));
            sink = static_cast<unsigned char>(buffer[0]);
        }
    });

    const double megabytes = static_cast<double>(kBodySize) / 1e6;
    std::printf("body: %llu bytes (Content-Length %s), %llu-byte reads, best of %d\n",
                static_cast<unsigned long long>(streamed),
                qPrintable(request.valueForHTTPHeaderField(QStringLiteral("Content-Length"))),
                static_cast<unsigned long long>(kReadSize), kRounds);
    std::printf("body stream: %8.1f MB/s (%.3f s)\n", megabytes / streamSeconds, streamSeconds);
    std::printf("memcpy:      %8.1f MB/s (%.3f s)\n", megabytes / copySeconds, copySeconds);
    std::printf("ratio stream/memcpy time: %.2f\n", streamSeconds / copySeconds);
    return 0;
}
