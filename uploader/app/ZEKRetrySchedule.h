#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>

// When failed jobs are tried again with nobody there to ask: a while after a
// failure, and a longer while after each failure that follows (the pause
// doubles, up to a longest one), back to the first pause after a success.
class ZEKRetrySchedule : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kFirstPause{30'000};
    static constexpr std::chrono::milliseconds kLongestPause{600'000};

    explicit ZEKRetrySchedule(std::function<void()> retry,
                              std::chrono::milliseconds firstPause = kFirstPause,
                              std::chrono::milliseconds longestPause = kLongestPause);

    // Arms the retry, unless it is armed already, after the pause due now.
    void uploadFailed();
    // The device is back: the next pause is the first one again.
    void uploadSucceeded();

    bool isArmed() const { return timer_.isActive(); }
    std::chrono::milliseconds nextPause() const { return nextPause_; }

private:
    std::function<void()> retry_;
    const std::chrono::milliseconds firstPause_;
    const std::chrono::milliseconds longestPause_;
    std::chrono::milliseconds nextPause_;
    QTimer timer_;
};
