#pragma once

#include <QVariant>

// One-way transformers from a discovered service's properties to the text of
// the services table. Input of another kind than the one named, and an
// invalid QVariant, give the empty string.
class ZEKValueTransformer {
public:
    virtual ~ZEKValueTransformer() = default;
    virtual QVariant transformedValue(const QVariant &value) const = 0;
};

// A service name (QString) shown as its device: "quil (3)" as "quil".
class ZEKNameTransformer : public ZEKValueTransformer {
public:
    QVariant transformedValue(const QVariant &value) const override;
};

// The addresses (QList<QByteArray> or a QVariantList of QByteArray): the
// dotted IPv4 text of the first one; "" for none or for one that is not IPv4.
class ZEKAddressesTransformer : public ZEKValueTransformer {
public:
    QVariant transformedValue(const QVariant &value) const override;
};

// The whole service (std::shared_ptr<zek::NetService>): its port in decimal.
class ZEKPortTransformer : public ZEKValueTransformer {
public:
    QVariant transformedValue(const QVariant &value) const override;
};

// The TXT record (QByteArray): the raw bytes stored under the key "qwe", or an
// invalid QVariant (an empty cell) when the record has no such key.
class ZEKTXTRecordDataTransformer : public ZEKValueTransformer {
public:
    QVariant transformedValue(const QVariant &value) const override;
};
