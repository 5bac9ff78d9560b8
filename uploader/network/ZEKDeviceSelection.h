#pragma once

#include "NetService.h"

#include <QList>
#include <QString>
#include <memory>

// A service name split by the device rule: "quil Laser (12)" is device
// "quil Laser" with number 12. Only a number in parentheses at the very end
// counts ("\([0-9]+\)$"); the key is the part before it with spaces trimmed.
struct ZEKDeviceName {
    QString key;
    // The digits of the number without leading zeros ("0" for zero), or null
    // when the name has no such suffix.
    QString number;

    static ZEKDeviceName parse(const QString &serviceName);
};

// Chooses one service per laser device among the services found: only names
// that contain "quil" (in any case) count; among names with the same key, one
// without a number replaces whatever came before it, and one with a number
// replaces an earlier one whose number is not greater (compared as integers of
// any size). Other suffixes, such as " #2" of a renamed conflict, make a
// separate device. The chosen services keep the order in which their keys
// first appeared.
class ZEKDeviceSelection {
public:
    using Services = QList<std::shared_ptr<zek::NetService>>;

    static Services chooseDevices(const Services &found);
};
