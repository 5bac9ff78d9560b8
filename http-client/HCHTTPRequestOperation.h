#pragma once

#include "HCHTTPResponseSerializer.h"
#include "HCURLConnectionOperation.h"

#include <QVariant>
#include <functional>

class HCHTTPRequestOperation;

// Called once, on the completion queue, when the reply was accepted: the
// operation and its response object.
using HCRequestOperationSuccess = std::function<void(
    const std::shared_ptr<HCHTTPRequestOperation> &operation, const QVariant &responseObject)>;
// Called once, on the completion queue, when the request failed: the operation
// (none when no operation could be made) and the error.
using HCRequestOperationFailure = std::function<void(
    const std::shared_ptr<HCHTTPRequestOperation> &operation, const zek::Error &error)>;

// Called on the completion queue for each redirect the request follows, before
// success or failure: the operation, where the request went next and the
// redirect's head.
using HCRequestOperationRedirect =
    std::function<void(const std::shared_ptr<HCHTTPRequestOperation> &operation, const QUrl &URL,
                       const HCHTTPURLResponse &redirectResponse)>;

// Where replies are serialized and success or failure is chosen.
const std::shared_ptr<zek::DispatchQueue> &http_request_operation_processing_queue();
// Success and failure callbacks of operations without a completion group are counted here.
const std::shared_ptr<zek::DispatchGroup> &http_request_operation_completion_group();

// A connection operation whose reply is judged and turned into a result by a
// response serializer.
class HCHTTPRequestOperation : public HCURLConnectionOperation {
public:
    // With a default HCHTTPResponseSerializer.
    explicit HCHTTPRequestOperation(HCURLRequest request);

    std::shared_ptr<HCHTTPResponseSerializer> responseSerializer() const;
    // Also forgets the response object and serialization error made so far.
    void setResponseSerializer(std::shared_ptr<HCHTTPResponseSerializer> serializer);

    // The serializer's result, computed once on the first call after the
    // operation has finished without a transport error; invalid before that
    // or when the serializer gave none.
    QVariant responseObject() const;
    std::optional<zek::Error> responseSerializationError() const;
    // The serialization error if there is one, else the transport's.
    std::optional<zek::Error> error() const override;

    // Once finished: on http_request_operation_processing_queue() the reply is
    // judged (a transport error wins; otherwise the serializer decides), then
    // success or failure runs on completionQueue() (none: the main queue),
    // counted in completionGroup() (none: http_request_operation_completion_group()).
    // Either callback may be empty.
    void setCompletionBlockWithSuccess(HCRequestOperationSuccess success,
                                       HCRequestOperationFailure failure);

protected:
    QString className() const override;

private:
    std::shared_ptr<HCHTTPResponseSerializer> responseSerializer_;
    mutable bool serialized_ = false;
    mutable QVariant responseObject_;
    mutable std::optional<zek::Error> responseSerializationError_;
};
