#pragma once

#include "HCHTTPResponseSerializer.h"
#include "JSONSerialization.h"

// Validates like its base and parses the body as JSON into a QVariant tree
// (see zek::JSONObjectWithData). It accepts "application/json", "text/json"
// and "text/javascript" by default.
class HCJSONResponseSerializer : public HCHTTPResponseSerializer {
public:
    static std::shared_ptr<HCJSONResponseSerializer> serializer();
    static std::shared_ptr<HCJSONResponseSerializer>
    serializerWithReadingOptions(zek::NSJSONReadingOptions readingOptions);
    HCJSONResponseSerializer();
    // From an archive: this class's defaults, then the base's archived values,
    // then readingOptions and removesKeysWithNullValues (0 and false when
    // missing).
    explicit HCJSONResponseSerializer(const QCborMap &coder);

    // Passed to the parser and to HCJSONObjectByRemovingKeysWithNullValues.
    zek::NSJSONReadingOptions readingOptions() const { return readingOptions_; }
    void setReadingOptions(zek::NSJSONReadingOptions options) { readingOptions_ = options; }

    // Whether dictionary entries whose value is JSON null are left out of
    // the result, at every depth.
    bool removesKeysWithNullValues() const { return removesKeysWithNullValues_; }
    void setRemovesKeysWithNullValues(bool removes) { removesKeysWithNullValues_ = removes; }

    // The parsed body, or none. A reply refused for its content type is not
    // parsed, unless error is given and the refusal made no error (an empty
    // body); one refused only for its status code is, so the result and the
    // status error come together. The body is decoded in the reply's
    // charset, or in stringEncoding when the reply names none that ICU knows,
    // and parsed as UTF-8. A body that does not decode, the body " " and an
    // empty body give no result and add no error. Text that has no UTF-8
    // form gives an error (code zek::NSURLErrorCannotDecodeContentData); text
    // that is not JSON, the parser's error. Either becomes *error with the
    // validation error, if any, under it.
    QVariant responseObjectForResponse(const std::optional<HCHTTPURLResponse> &response,
                                       const std::optional<QByteArray> &data,
                                       std::optional<zek::Error> *error) const override;

    // Also writes "readingOptions" (an unsigned integer) and
    // "removesKeysWithNullValues" (a boolean).
    void encodeWithCoder(QCborMap &coder) const override;

    // A new serializer of the receiver's class carrying readingOptions and
    // removesKeysWithNullValues; its status codes and content types are the
    // class's defaults, not this one's.
    std::shared_ptr<HCHTTPResponseSerializer> copy() const override;

private:
    zek::NSJSONReadingOptions readingOptions_ = 0;
    bool removesKeysWithNullValues_ = false;
};

// JSONObject without the dictionary entries whose value is JSON null
// (QVariant::fromValue(nullptr)) or missing, at every depth; null elements of
// arrays stay, and values other than QVariantMap and QVariantList come back
// as they are.
//
// The result is always made of QVariantMap and QVariantList values: a
// QVariant tree belongs to whoever holds it, who may change it without
// anyone else seeing the change. So the result is as mutable as the
// platform's mutable containers (zek::NSJSONReadingMutableContainers) and as
// safe to share as its immutable ones, whatever readingOptions says; the
// argument is taken so that callers pass their parser options along, and
// changes nothing.
QVariant HCJSONObjectByRemovingKeysWithNullValues(const QVariant &JSONObject,
                                                  zek::NSJSONReadingOptions readingOptions);
