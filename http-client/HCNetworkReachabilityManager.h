#pragma once

#include <QtGlobal>
#include <memory>

// Network reachability as the manager holds it: nothing starts or reads a
// monitor, so this one watches nothing and always reports an unknown status.
class HCNetworkReachabilityManager {
public:
    static constexpr qint64 HCNetworkReachabilityStatusUnknown = -1;

    // The one monitor of the process, for the all-zero IPv4 address.
    static const std::shared_ptr<HCNetworkReachabilityManager> &sharedManager();

    qint64 networkReachabilityStatus() const { return HCNetworkReachabilityStatusUnknown; }
};
