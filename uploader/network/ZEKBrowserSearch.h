#pragma once

#include "NetServiceBrowser.h"
#include "ZEKLog.h"

#include <QList>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <utility>

// One kind of search of a service browser (domains, or services): what the browser reports is
// collected until a report says that no more is coming, or until no report came for the timeout
// since the start or since the last report; then the browser is stopped and the search ends
// with one completion call, with what it found. Main thread only.
template <typename Found> class ZEKBrowserSearch {
public:
    using Completion = std::function<void(const QList<Found> &found)>;
    // The log line for what a search found.
    using FoundLine = QString (*)(const QList<Found> &found);

    // `noneFoundLine` is logged when the timeout ends a search that found nothing.
    ZEKBrowserSearch(zek::NetServiceBrowser &browser, std::chrono::milliseconds timeout,
                     QString noneFoundLine, FoundLine foundLine)
        : browser_(browser), noneFoundLine_(std::move(noneFoundLine)), foundLine_(foundLine)
    {
        timeout_.setSingleShot(true);
        timeout_.setInterval(timeout);
        QObject::connect(&timeout_, &QTimer::timeout, [this] { timedOut(); });
    }
    ZEKBrowserSearch(const ZEKBrowserSearch &) = delete;
    ZEKBrowserSearch &operator=(const ZEKBrowserSearch &) = delete;

    bool isRunning() const { return running_; }

    // Starts collecting; the caller then asks the browser.
    void start(Completion completion)
    {
        running_ = true;
        timeout_.start();
        completion_ = std::move(completion);
        found_.clear();
    }

    // A report of the browser; ignored unless this search runs.
    void report(const Found &found, bool moreComing)
    {
        if (!running_) {
            return;
        }
        // Every report gives the search another full timeout: a batch that falls silent after
        // "more coming" still ends, with what it found.
        timeout_.start();
        found_.append(found);
        if (!moreComing) {
            finish();
        }
    }

private:
    void timedOut()
    {
        if (found_.isEmpty()) {
            ZEKLog::sharedLog().log(noneFoundLine_);
        }
        finish();
    }

    void finish()
    {
        timeout_.stop();
        if (!found_.isEmpty()) {
            ZEKLog::sharedLog().log(foundLine_(found_));
        }
        browser_.stop();
        running_ = false;
        // The completion may start the next search at once, which clears the list.
        const QList<Found> found = found_;
        if (auto completion = std::exchange(completion_, nullptr)) {
            completion(found);
        }
    }

    zek::NetServiceBrowser &browser_;
    const QString noneFoundLine_;
    const FoundLine foundLine_;
    QTimer timeout_;
    bool running_ = false;
    Completion completion_;
    QList<Found> found_;
};
