#pragma once

#include <QCborMap>
#include <QDateTime>
#include <QString>
#include <QUrl>
#include <QtGlobal>

// The flag bits of a file-system event (FWEvent::flags). Bits from 0x100 up describe the item
// and are set only by streams made with kFWEventsCreateFlagFileEvents.
enum FWEventFlag : quint32 {
    kFWEventFlagNone = 0x0,
    kFWEventFlagMustScanSubDirs = 0x1, // events were lost: look at the tree again
    kFWEventFlagUserDropped = 0x2,
    kFWEventFlagKernelDropped = 0x4,
    kFWEventFlagEventIdsWrapped = 0x8,
    kFWEventFlagHistoryDone = 0x10,
    kFWEventFlagRootChanged = 0x20, // a watched directory appeared, vanished or moved
    kFWEventFlagMount = 0x40,
    kFWEventFlagUnmount = 0x80,
    kFWEventFlagItemCreated = 0x100,
    kFWEventFlagItemRemoved = 0x200,
    kFWEventFlagItemInodeMetaMod = 0x400,
    kFWEventFlagItemRenamed = 0x800, // set on both the old and the new name
    kFWEventFlagItemModified = 0x1000,
    kFWEventFlagItemFinderInfoMod = 0x2000,
    kFWEventFlagItemChangeOwner = 0x4000,
    kFWEventFlagItemXattrMod = 0x8000,
    kFWEventFlagItemIsFile = 0x10000, // a regular file; never a symbolic link
    kFWEventFlagItemIsDir = 0x20000,
    kFWEventFlagItemIsSymlink = 0x40000,
};

// One file-system event: an immutable record of what changed where. Copies are cheap and equal.
class FWEvent {
public:
    // initWithIdentifier:date:URL:flags:
    FWEvent(quint64 identifier, QDateTime date, QUrl URL, quint32 flags);
    static FWEvent eventWithIdentifier(quint64 identifier, const QDateTime &date, const QUrl &URL,
                                       quint32 flags);

    // The keyed archive: "identifier", "flags", "date", "URL", written in that order.
    explicit FWEvent(const QCborMap &coder); // initWithCoder:
    void encodeWithCoder(QCborMap &coder) const;

    // Grows with time, process-wide.
    quint64 identifier() const { return identifier_; }
    // When the watcher made the record (delivery time, not the time of the change).
    QDateTime date() const { return date_; }
    QUrl URL() const { return URL_; }
    quint32 flags() const { return flags_; }

    bool isGenericChange() const { return flags_ == kFWEventFlagNone; }
    bool mustRescanSubDirectories() const { return has(kFWEventFlagMustScanSubDirs); }
    bool isUserDropped() const { return has(kFWEventFlagUserDropped); }
    bool isKernelDropped() const { return has(kFWEventFlagKernelDropped); }
    bool isEventIdentifiersWrapped() const { return has(kFWEventFlagEventIdsWrapped); }
    bool isHistoryDone() const { return has(kFWEventFlagHistoryDone); }
    bool isRootChanged() const { return has(kFWEventFlagRootChanged); }
    bool didVolumeMount() const { return has(kFWEventFlagMount); }
    bool didVolumeUnmount() const { return has(kFWEventFlagUnmount); }
    bool isCreated() const { return has(kFWEventFlagItemCreated); }
    bool isRemoved() const { return has(kFWEventFlagItemRemoved); }
    bool isInodeMetadataModified() const { return has(kFWEventFlagItemInodeMetaMod); }
    bool isRenamed() const { return has(kFWEventFlagItemRenamed); }
    bool isModified() const { return has(kFWEventFlagItemModified); }
    bool isFinderInfoModified() const { return has(kFWEventFlagItemFinderInfoMod); }
    bool didChangeOwner() const { return has(kFWEventFlagItemChangeOwner); }
    bool isXattrModified() const { return has(kFWEventFlagItemXattrMod); }
    bool isFile() const { return has(kFWEventFlagItemIsFile); }
    bool isDir() const { return has(kFWEventFlagItemIsDir); }
    bool isSymlink() const { return has(kFWEventFlagItemIsSymlink); }

    // "<FWEvent: 0x… { identifier = 7, URL = file:///…, flags = 67584, date = 2024-05-01 10:00:00
    // +0000 }>"
    QString description() const;

private:
    bool has(FWEventFlag flag) const { return (flags_ & flag) != 0; }

    quint64 identifier_;
    QDateTime date_;
    QUrl URL_;
    quint32 flags_;
};
