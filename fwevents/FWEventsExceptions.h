#pragma once

#include <QString>
#include <exception>
#include <string>

// The failures that FWEvents raises: a name that tells the kind, and a reason for people.
class FWEventsException : public std::exception {
public:
    FWEventsException(QString name, QString reason);

    const QString &name() const { return name_; }
    const QString &reason() const { return reason_; }
    const char *what() const noexcept override { return what_.c_str(); }

private:
    QString name_;
    QString reason_;
    std::string what_;
};

// A watcher was asked for without URLs, without a block or without a delegate.
class FWEventsInvalidArgumentException : public FWEventsException {
public:
    static constexpr const char *kName = "NSInvalidArgumentException";
    explicit FWEventsInvalidArgumentException(const QString &reason)
        : FWEventsException(QString::fromLatin1(kName), reason)
    {}
};

// The event stream could not be made or started.
class FWEventsEventStreamCreationFailureException : public FWEventsException {
public:
    static constexpr const char *kName = "FWEventsEventStreamCreationFailureException";
    explicit FWEventsEventStreamCreationFailureException(const QString &reason)
        : FWEventsException(QString::fromLatin1(kName), reason)
    {}
};
