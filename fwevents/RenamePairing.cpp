#include "RenamePairing.h"

void RenamePairing::departed(quint32 cookie, Departure departure)
{
    pending_.insert(cookie, {std::move(departure), read_});
}

std::optional<RenamePairing::Departure> RenamePairing::arrived(quint32 cookie)
{
    const auto found = pending_.constFind(cookie);
    if (found == pending_.constEnd()) {
        return std::nullopt;
    }
    Departure departure = found->departure;
    pending_.erase(found);
    return departure;
}

QList<RenamePairing::Departure> RenamePairing::endRead()
{
    QList<Departure> expired;
    for (auto pending = pending_.begin(); pending != pending_.end();) {
        if (pending->read < read_) {
            expired.append(pending->departure);
            pending = pending_.erase(pending);
        } else {
            ++pending;
        }
    }
    ++read_;
    return expired;
}

void RenamePairing::clear()
{
    pending_.clear();
}
