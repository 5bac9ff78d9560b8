#pragma once

#include "HCURLResponseSerialization.h"
#include "IndexSet.h"
#include "StringEncoding.h"

#include <QCborMap>
#include <QSet>
#include <memory>

// Decides whether a reply is acceptable by its status code and MIME type and
// hands its body back unchanged. It keeps no state between calls, so one
// instance may serve several requests at once while nobody changes it.
//
// Copies are made with copy(), which follows the rules of each class; the C++
// copy operations are deleted so that no copy carries what copy() leaves out.
class HCHTTPResponseSerializer : public HCURLResponseSerialization {
public:
    static std::shared_ptr<HCHTTPResponseSerializer> serializer();
    HCHTTPResponseSerializer();
    // From an archive made by encodeWithCoder: the defaults first, then each
    // archived value; an archive without a key (or with a malformed value
    // under it) turns that test off.
    explicit HCHTTPResponseSerializer(const QCborMap &coder);
    ~HCHTTPResponseSerializer() override = default;
    HCHTTPResponseSerializer(const HCHTTPResponseSerializer &) = delete;
    HCHTTPResponseSerializer &operator=(const HCHTTPResponseSerializer &) = delete;

    // Decodes bodies whose reply names no charset that ICU knows; UTF-8 by
    // default. Neither archived nor copied.
    zek::NSStringEncoding stringEncoding() const { return stringEncoding_; }
    void setStringEncoding(zek::NSStringEncoding encoding) { stringEncoding_ = encoding; }

    // Status codes of acceptable replies: 200 to 299 by default; none (not an
    // empty set) accepts every code.
    const std::optional<zek::IndexSet> &acceptableStatusCodes() const
    {
        return acceptableStatusCodes_;
    }
    void setAcceptableStatusCodes(std::optional<zek::IndexSet> codes)
    {
        acceptableStatusCodes_ = std::move(codes);
    }

    // MIME types of acceptable replies, compared exactly with the reply's
    // (lower-case) MIME type: none by default, which accepts every type.
    const std::optional<QSet<QString>> &acceptableContentTypes() const
    {
        return acceptableContentTypes_;
    }
    void setAcceptableContentTypes(std::optional<QSet<QString>> types)
    {
        acceptableContentTypes_ = std::move(types);
    }

    // Whether the reply is acceptable. An absent response and one of another
    // protocol always are. Otherwise a MIME type outside acceptableContentTypes
    // refuses the reply, with an error (code zek::NSURLErrorCannotDecodeContentData)
    // only when the body has bytes and the response a URL; a status code
    // outside acceptableStatusCodes refuses a reply that has a URL, with an
    // error (code zek::NSURLErrorBadServerResponse) that carries the
    // content-type error, if any, as its underlying error. Both are in
    // HCURLResponseSerializationErrorDomain and name the URL, response and
    // body. When the reply is refused, *error (if error is given) is set to
    // that error, or to none when the refusal made no error; an acceptable
    // reply leaves *error untouched.
    bool validateResponse(const std::optional<HCHTTPURLResponse> &response,
                          const std::optional<QByteArray> &data,
                          std::optional<zek::Error> *error) const;

    // Validates into *error and returns the body bytes whatever the outcome
    // (an invalid QVariant for absent data).
    QVariant responseObjectForResponse(const std::optional<HCHTTPURLResponse> &response,
                                       const std::optional<QByteArray> &data,
                                       std::optional<zek::Error> *error) const override;

    // Archives decode only into the types they were made of.
    static bool supportsSecureCoding() { return true; }
    // Writes "acceptableStatusCodes" (an array of [location, length] ranges)
    // and "acceptableContentTypes" (an array of strings); a test that is off
    // writes no key.
    virtual void encodeWithCoder(QCborMap &coder) const;

    // A new serializer of the receiver's class with its plain defaults, and
    // here this one's status codes and content types.
    virtual std::shared_ptr<HCHTTPResponseSerializer> copy() const;

protected:
    // Assigns what an archive holds for the keys of this class.
    void decodeFromCoder(const QCborMap &coder);

private:
    zek::NSStringEncoding stringEncoding_ = zek::NSUTF8StringEncoding;
    std::optional<zek::IndexSet> acceptableStatusCodes_;
    std::optional<QSet<QString>> acceptableContentTypes_;
};
