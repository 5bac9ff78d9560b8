#pragma once

#include <QByteArray>
#include <thread>

// A pipe whose write end a thread feeds with the given bytes, in pieces of
// `pieceSize`, then closes. Hand readEnd() to the code under test.
class PipeFeeder {
public:
    explicit PipeFeeder(QByteArray data, qsizetype pieceSize = 65536);
    ~PipeFeeder();
    PipeFeeder(const PipeFeeder &) = delete;
    PipeFeeder &operator=(const PipeFeeder &) = delete;

    int readEnd() const { return readEnd_; }

private:
    int readEnd_ = -1;
    std::thread writer_;
};
