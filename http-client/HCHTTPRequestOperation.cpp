#include "HCHTTPRequestOperation.h"

#include <QMutexLocker>

using namespace Qt::StringLiterals;

const std::shared_ptr<zek::DispatchQueue> &http_request_operation_processing_queue()
{
    // Never freed: serialization may still run while the process exits.
    static const auto *queue = new std::shared_ptr<zek::DispatchQueue>(
        zek::DispatchQueue::concurrent(u"com.zek.HTTPClient.request-operation.processing"_s));
    return *queue;
}

const std::shared_ptr<zek::DispatchGroup> &http_request_operation_completion_group()
{
    static const auto *group =
        new std::shared_ptr<zek::DispatchGroup>(std::make_shared<zek::DispatchGroup>());
    return *group;
}

HCHTTPRequestOperation::HCHTTPRequestOperation(HCURLRequest request)
    : HCURLConnectionOperation(std::move(request)),
      responseSerializer_(HCHTTPResponseSerializer::serializer())
{}

std::shared_ptr<HCHTTPResponseSerializer> HCHTTPRequestOperation::responseSerializer() const
{
    QMutexLocker locker(&lock_);
    return responseSerializer_;
}

void HCHTTPRequestOperation::setResponseSerializer(
    std::shared_ptr<HCHTTPResponseSerializer> serializer)
{
    QMutexLocker locker(&lock_);
    responseSerializer_ = std::move(serializer);
    serialized_ = false;
    responseObject_ = QVariant();
    responseSerializationError_.reset();
}

QVariant HCHTTPRequestOperation::responseObject() const
{
    QMutexLocker locker(&lock_);
    if (!serialized_ && isFinished() && !HCURLConnectionOperation::error()) {
        serialized_ = true;
        std::optional<zek::Error> serializationError;
        responseObject_ = responseSerializer_->responseObjectForResponse(response(), responseData(),
                                                                         &serializationError);
        responseSerializationError_ = serializationError;
    }
    return responseObject_;
}

std::optional<zek::Error> HCHTTPRequestOperation::responseSerializationError() const
{
    QMutexLocker locker(&lock_);
    return responseSerializationError_;
}

std::optional<zek::Error> HCHTTPRequestOperation::error() const
{
    QMutexLocker locker(&lock_);
    if (responseSerializationError_) {
        return responseSerializationError_;
    }
    return HCURLConnectionOperation::error();
}

void HCHTTPRequestOperation::setCompletionBlockWithSuccess(HCRequestOperationSuccess success,
                                                           HCRequestOperationFailure failure)
{
    // The block holds the operation until the wrapper of setCompletionBlock
    // lets go of it, after the callbacks have run.
    auto operation = std::static_pointer_cast<HCHTTPRequestOperation>(shared_from_this());
    setCompletionBlock([operation, success = std::move(success), failure = std::move(failure)] {
        const std::shared_ptr<zek::DispatchGroup> ownGroup = operation->completionGroup();
        if (ownGroup) {
            ownGroup->enter();
        }
        http_request_operation_processing_queue()->async([operation, success, failure, ownGroup] {
            const std::shared_ptr<zek::DispatchGroup> group =
                ownGroup ? ownGroup : http_request_operation_completion_group();
            std::shared_ptr<zek::DispatchQueue> queue = operation->completionQueue();
            if (!queue) {
                queue = zek::DispatchQueue::mainQueue();
            }
            const auto failed = [&] {
                if (failure) {
                    group->async(queue, [operation, failure] {
                        failure(operation, operation->error().value_or(zek::Error()));
                    });
                }
            };
            if (operation->error()) {
                failed();
            } else {
                const QVariant responseObject = operation->responseObject();
                if (operation->error()) {
                    failed();
                } else if (success) {
                    group->async(queue, [operation, success, responseObject] {
                        success(operation, responseObject);
                    });
                }
            }
            if (ownGroup) {
                ownGroup->leave();
            }
        });
    });
}

QString HCHTTPRequestOperation::className() const
{
    return u"HCHTTPRequestOperation"_s;
}
