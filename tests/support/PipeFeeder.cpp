#include "PipeFeeder.h"

#include <csignal>
#include <unistd.h>

PipeFeeder::PipeFeeder(QByteArray data, qsizetype pieceSize)
{
    // A reader that stops early must not kill the test with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    int ends[2];
    if (pipe(ends) != 0) {
        return;
    }
    readEnd_ = ends[0];
    writer_ = std::thread([data = std::move(data), pieceSize, writeEnd = ends[1]] {
        for (qsizetype at = 0; at < data.size(); at += pieceSize) {
            const qsizetype size = std::min(pieceSize, data.size() - at);
            if (write(writeEnd, data.constData() + at, static_cast<size_t>(size)) != size) {
                break;
            }
        }
        close(writeEnd);
    });
}

PipeFeeder::~PipeFeeder()
{
    // Closing the read end first unblocks a writer whose reader gave up.
    if (readEnd_ >= 0) {
        close(readEnd_);
    }
    if (writer_.joinable()) {
        writer_.join();
    }
}
