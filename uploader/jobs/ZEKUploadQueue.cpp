#include "ZEKUploadQueue.h"

ZEKUploadQueue::ZEKUploadQueue(Start start, int maximumRunning)
    : start_(std::move(start)), maximumRunning_(maximumRunning)
{}

void ZEKUploadQueue::add(Job job)
{
    if (contains(job.file)) {
        return;
    }
    present_.insert(job.file);
    waiting_.push_back(std::move(job));
    startWhatFits();
}

void ZEKUploadQueue::finished(const QUrl &file)
{
    if (present_.remove(file)) {
        --running_;
    }
    startWhatFits();
}

void ZEKUploadQueue::startWhatFits()
{
    // A start that finishes at once (a job gone already) comes back here: the loop below goes on.
    if (starting_) {
        return;
    }
    starting_ = true;
    while (running_ < maximumRunning_ && !waiting_.empty()) {
        const Job job = std::move(waiting_.front());
        waiting_.pop_front();
        ++running_;
        start_(job);
    }
    starting_ = false;
}
