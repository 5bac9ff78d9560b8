#include "ZEKRetrySchedule.h"

#include <algorithm>

ZEKRetrySchedule::ZEKRetrySchedule(std::function<void()> retry,
                                   std::chrono::milliseconds firstPause,
                                   std::chrono::milliseconds longestPause)
    : retry_(std::move(retry)), firstPause_(firstPause), longestPause_(longestPause),
      nextPause_(firstPause)
{
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] { retry_(); });
}

void ZEKRetrySchedule::uploadFailed()
{
    if (timer_.isActive()) {
        return; // one retry round takes every waiting job
    }
    timer_.start(nextPause_);
    nextPause_ = std::min(nextPause_ * 2, longestPause_);
}

void ZEKRetrySchedule::uploadSucceeded()
{
    nextPause_ = firstPause_;
}
