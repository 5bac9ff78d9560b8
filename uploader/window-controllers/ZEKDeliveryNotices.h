#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <functional>

// Tells of jobs the device took, one notice per batch: jobs delivered within a second of the
// first make one notice, "Sent to the laser: <title>" for one job, "Sent to the laser: 3 jobs"
// for more.
class ZEKDeliveryNotices : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kBatchTime{1000};

    // `show` puts up a notice with the text.
    explicit ZEKDeliveryNotices(std::function<void(const QString &text)> show,
                                QObject *parent = nullptr);

    void jobDelivered(const QString &title);

private:
    void showBatch();

    std::function<void(const QString &)> show_;
    QStringList titles_;
    QTimer batch_;
};
