#pragma once

#include "Error.h"

#include <QString>
#include <QUrl>
#include <QVariant>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

// The application log: the one channel for lines meant for the user. One
// log() call is one entry, even when the text holds a line break. Whoever
// shows the log subscribes: the logger window stamps each text with the time
// and appends it, a tool prints it.
//
// Main thread only, like everything that logs.
class ZEKLog {
public:
    using Subscriber = std::function<void(const QString &text)>;
    using SubscriberToken = std::uint64_t;

    // The one log of the process, made on first use and never freed.
    static ZEKLog &sharedLog();

    // Calls every subscriber with text, in the order they subscribed.
    void log(const QString &text);

    SubscriberToken subscribe(Subscriber subscriber);
    void unsubscribe(SubscriberToken token);

    // The lines an upload writes, the same for the application and the tools.
    // "Uploading to resource: " and the URL's absolute text.
    static QString uploadingToResourceLine(const QUrl &resource);
    // On success "JSON: " and the reply's text form; on failure
    // "ERROR(<code>): <description>\nRESULT: <result>", where a missing
    // result reads "(null)".
    static QString uploadOutcomeLine(const QVariant &result,
                                     const std::optional<zek::Error> &error);

private:
    ZEKLog() = default;

    std::vector<std::pair<SubscriberToken, Subscriber>> subscribers_;
    SubscriberToken nextToken_ = 1;
};
