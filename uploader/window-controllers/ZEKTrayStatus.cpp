#include "ZEKTrayStatus.h"

#include "ZEKStatusItem.h"

#include <QPainter>
#include <QSystemTrayIcon>
#include <algorithm>

using namespace Qt::StringLiterals;

ZEKTrayStatus::ZEKTrayStatus(const ZEKJobList &jobs, std::function<QUrl()> target,
                             ZEKStatusItem &item, QObject *parent)
    : QObject(parent), jobs_(jobs), target_(std::move(target)), item_(item),
      icon_(u":/StatusItemIcon.svg"_s), failedIcon_(withFailureBadge(icon_))
{
    connect(&jobs, &ZEKJobList::jobInserted, this, &ZEKTrayStatus::update);
    connect(&jobs, &ZEKJobList::jobRemoved, this, &ZEKTrayStatus::update);
    connect(&jobs, &ZEKJobList::jobChanged, this, &ZEKTrayStatus::update);
    update();
}

void ZEKTrayStatus::update()
{
    const QList<ZEKJobList::Job> &jobs = jobs_.jobs();
    // Delivered jobs stay in view, but nothing of them waits.
    const auto waiting = std::count_if(jobs.cbegin(), jobs.cend(), [](const auto &job) {
        return job.state != ZEKJobList::State::Delivered;
    });
    const bool failed = std::any_of(jobs.cbegin(), jobs.cend(), [](const auto &job) {
        return job.state == ZEKJobList::State::Failed;
    });
    const QString host = target_().host();
    item_.statusItem()->setToolTip(tr("ZEK Uploader — jobs go to %1 — %2 waiting")
                                       .arg(host.isEmpty() ? tr("no device") : host)
                                       .arg(waiting));
    item_.setStatusItemIcon(failed ? failedIcon_ : icon_);
}

QIcon ZEKTrayStatus::withFailureBadge(const QIcon &icon)
{
    QIcon badged;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap = icon.pixmap(size);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0xd0, 0x20, 0x20));
        const int badge = size / 2;
        painter.drawEllipse(size - badge, size - badge, badge, badge);
        painter.end();
        badged.addPixmap(pixmap);
    }
    return badged;
}
