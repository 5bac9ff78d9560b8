#include "ZEKDeliveryNotices.h"

ZEKDeliveryNotices::ZEKDeliveryNotices(std::function<void(const QString &)> show, QObject *parent)
    : QObject(parent), show_(std::move(show))
{
    batch_.setSingleShot(true);
    batch_.setInterval(kBatchTime);
    connect(&batch_, &QTimer::timeout, this, &ZEKDeliveryNotices::showBatch);
}

void ZEKDeliveryNotices::jobDelivered(const QString &title)
{
    titles_.append(title);
    if (!batch_.isActive()) {
        batch_.start();
    }
}

void ZEKDeliveryNotices::showBatch()
{
    show_(titles_.size() == 1 ? tr("Sent to the laser: %1").arg(titles_.first())
                              : tr("Sent to the laser: %1 jobs").arg(titles_.size()));
    titles_.clear();
}
