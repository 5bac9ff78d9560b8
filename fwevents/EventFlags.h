#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <filesystem>

// The FWEventFlag bits of what the kernel reports about an item.

// The change bits of an inotify event mask (created, removed, renamed, …).
quint32 changeFlags(quint32 inotifyMask);
// The type bit of an item's own type; none for types other than file, directory and link.
quint32 typeFlag(std::filesystem::file_type type);
// The type bit of the item at `path`, links not followed; none when it is already gone.
quint32 typeFlagAt(const QByteArray &path);
