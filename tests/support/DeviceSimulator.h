#pragma once

#include "BackgroundProcess.h"

#include <QByteArrayList>
#include <QString>
#include <QTemporaryDir>

// The device simulator (tools/zek-device-sim) on 127.0.0.1 at a port of its
// own, keeping what it receives in a directory of its own. It ends with this
// object.
class DeviceSimulator {
public:
    DeviceSimulator();

    // 0 when the simulator did not come up.
    quint16 port() const { return port_; }
    // Switches how it answers: "ok", "500", "text", "silent" or "drop".
    bool setMode(const QByteArray &mode);
    // The PDFs received so far, in the order they came.
    QByteArrayList jobs() const;

private:
    QTemporaryDir directory_;
    BackgroundProcess process_;
    quint16 port_;
};
