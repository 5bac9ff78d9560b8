#pragma once

#include "StringEncoding.h"

#include <QList>
#include <QString>
#include <QVariant>

// One parameter after flattening: the key path of a leaf value (such as
// "user[name]" or "ids[]") and the value itself, which is never a
// dictionary, array or set.
class HCQueryStringPair {
public:
    HCQueryStringPair(QString field, QVariant value)
        : field_(std::move(field)), value_(std::move(value))
    {}

    const QString &field() const { return field_; }
    const QVariant &value() const { return value_; }

    // "key=value", both percent-escaped in the encoding; the key alone when
    // the value is absent or the null object.
    QString URLEncodedStringValueWithEncoding(zek::NSStringEncoding stringEncoding) const;

private:
    QString field_;
    QVariant value_;
};

// Flattens parameters into pairs, in the order they are encoded:
// - dictionary (QVariantMap): keys in ordinal order of their text, nested
//   keys written "outer[inner]";
// - array (QVariantList, QStringList): elements in order, under "key[]";
// - set (zek::OrderedSet): elements in ordinal order of their text form,
//   under the set's own key.
// Empty containers give no pair. A null key stands for the top level.
QList<HCQueryStringPair> HCQueryStringPairsFromDictionary(const QVariantMap &dictionary);
QList<HCQueryStringPair> HCQueryStringPairsFromKeyAndValue(const QString &key,
                                                           const QVariant &value);

// Escapes a parameter key: every character but the unreserved ones of
// RFC 3986 (letters, digits, "-", ".", "_", "~") and the brackets "[" and
// "]" becomes "%XX" per byte in the encoding (upper-case hexadecimal).
// Characters the encoding lacks are written as "?" (escaped, "%3F"); an
// unknown encoding gives a null string.
QString HCPercentEscapedQueryStringKeyFromStringWithEncoding(const QString &string,
                                                             zek::NSStringEncoding encoding);
// The same for values, which keep only the unreserved characters.
QString HCPercentEscapedQueryStringValueFromStringWithEncoding(const QString &string,
                                                               zek::NSStringEncoding encoding);
