#pragma once

#include <QUrl>

// Told of each finished PDF file that arrives in an observed tree.
class ZEKPathObservingDelegate {
public:
    virtual ~ZEKPathObservingDelegate() = default;
    // fileDidCreatedAtURL:
    virtual void fileDidCreatedAtURL(const QUrl &url) = 0;
    // A ".pdf" file left the tree: deleted, or renamed away.
    virtual void fileDidRemoveAtURL(const QUrl & /*url*/) {}
};
