#pragma once

#include "ZEKJobList.h"

#include <QIcon>
#include <QObject>
#include <QUrl>
#include <functional>

class ZEKStatusItem;

// The tray item's look, kept in step with the job list: a tooltip that names the host jobs go
// to and how many wait ("ZEK Uploader — jobs go to laser.local — 2 waiting"), and an icon with
// a red badge while a job has failed.
class ZEKTrayStatus : public QObject {
    Q_OBJECT

public:
    // `target` is where jobs go now, read at every update.
    ZEKTrayStatus(const ZEKJobList &jobs, std::function<QUrl()> target, ZEKStatusItem &item,
                  QObject *parent = nullptr);

    // Reads the target and the jobs again.
    void update();

    // The icon with a red dot at its lower right.
    static QIcon withFailureBadge(const QIcon &icon);

private:
    const ZEKJobList &jobs_;
    std::function<QUrl()> target_;
    ZEKStatusItem &item_;
    const QIcon icon_;
    const QIcon failedIcon_;
};
