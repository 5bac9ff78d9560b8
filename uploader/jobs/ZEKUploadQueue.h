#pragma once

#include <QSet>
#include <QString>
#include <QUrl>
#include <deque>
#include <functional>

// The uploads of one uploader: a few at once, the rest waiting in the order they came (oldest
// first, as the scans of the tree and the file events give them). Every upload holds descriptors
// (the job, its directory, a connection), and a session or a service gets some 1,024: hundreds of
// jobs waiting at launch must not all start at once. A job is in it once; asked for again while
// it waits or is sent, it stays where it is.
class ZEKUploadQueue {
public:
    static constexpr int kMaximumRunning = 4;

    struct Job {
        QUrl file;
        bool missingFails = false; // a job that is gone is a failure, not left alone
        QString announcement;      // logged once the job is claimed, if not empty
    };
    // Starts a job; finished() must follow exactly once for it, now or later.
    using Start = std::function<void(const Job &job)>;

    explicit ZEKUploadQueue(Start start, int maximumRunning = kMaximumRunning);

    // Starts the job when there is room, or lets it wait.
    void add(Job job);
    void finished(const QUrl &file);

    bool contains(const QUrl &file) const { return present_.contains(file); }
    bool isIdle() const { return present_.isEmpty(); }

private:
    void startWhatFits();

    const Start start_;
    const int maximumRunning_;
    std::deque<Job> waiting_;
    int running_ = 0;
    QSet<QUrl> present_; // waiting or running
    bool starting_ = false;
};
