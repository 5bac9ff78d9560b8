#include "HCHTTPRequestOperationManager.h"

#include "HCJSONResponseSerializer.h"

using namespace Qt::StringLiterals;

const std::shared_ptr<HCNetworkReachabilityManager> &HCNetworkReachabilityManager::sharedManager()
{
    static const auto *shared = new std::shared_ptr<HCNetworkReachabilityManager>(
        std::make_shared<HCNetworkReachabilityManager>());
    return *shared;
}

std::shared_ptr<HCHTTPRequestOperationManager> HCHTTPRequestOperationManager::manager()
{
    return std::make_shared<HCHTTPRequestOperationManager>();
}

HCHTTPRequestOperationManager::HCHTTPRequestOperationManager(const QUrl &baseURL)
    : baseURL_(baseURL), requestSerializer_(HCHTTPRequestSerializer::serializer()),
      responseSerializer_(HCJSONResponseSerializer::serializer()),
      securityPolicy_(HCSecurityPolicy::defaultPolicy()),
      reachabilityManager_(HCNetworkReachabilityManager::sharedManager()),
      operationQueue_(std::make_shared<zek::OperationQueue>())
{
    if (!baseURL_.path().isEmpty() && !baseURL_.toString(QUrl::FullyEncoded).endsWith(u'/')) {
        baseURL_.setPath(baseURL_.path(QUrl::FullyEncoded) + u'/', QUrl::TolerantMode);
    }
}

std::shared_ptr<HCHTTPRequestOperation>
HCHTTPRequestOperationManager::HTTPRequestOperationWithRequest(const HCURLRequest &request,
                                                               HCRequestOperationSuccess success,
                                                               HCRequestOperationFailure failure)
{
    auto operation = std::make_shared<HCHTTPRequestOperation>(request);
    operation->setResponseSerializer(responseSerializer_);
    operation->setShouldUseCredentialStorage(shouldUseCredentialStorage_);
    operation->setSecurityPolicy(securityPolicy_);
    operation->setCompletionBlockWithSuccess(std::move(success), std::move(failure));
    operation->setCompletionQueue(completionQueue_);
    operation->setCompletionGroup(completionGroup_);
    operation->setUploadProgressBlock(uploadProgressCallback_);
    if (redirectCallback_) {
        // Weak: the operation holds this block.
        operation->setRedirectResponseBlock(
            [weakOperation = std::weak_ptr<HCHTTPRequestOperation>(operation),
             callback = redirectCallback_](const QUrl &URL, const HCHTTPURLResponse &response) {
                const std::shared_ptr<HCHTTPRequestOperation> operation = weakOperation.lock();
                if (!operation) {
                    return;
                }
                operation->dispatchCompletion(
                    http_request_operation_completion_group(),
                    [operation, callback, URL, response] { callback(operation, URL, response); });
            });
    }
    return operation;
}

std::shared_ptr<HCHTTPRequestOperation> HCHTTPRequestOperationManager::POST(
    const QString &URLString, const std::optional<QVariantMap> &parameters,
    const HCConstructingBodyBlock &constructingBodyWithBlock, HCRequestOperationSuccess success,
    HCRequestOperationFailure failure)
{
    const QUrl relative(URLString);
    const QUrl URL = baseURL_.isEmpty() ? relative : baseURL_.resolved(relative);
    std::optional<zek::Error> error;
    std::optional<HCURLRequest> request = requestSerializer_->multipartFormRequestWithMethod(
        u"POST"_s, URL.toString(QUrl::FullyEncoded), parameters, constructingBodyWithBlock, &error);
    if (error || !request) {
        if (failure) {
            const zek::Error reported =
                error.value_or(zek::Error(zek::NSURLErrorDomain, zek::NSURLErrorBadURL));
            const auto &queue =
                completionQueue_ ? completionQueue_ : zek::DispatchQueue::mainQueue();
            queue->async([failure = std::move(failure), reported] { failure(nullptr, reported); });
        }
        return nullptr;
    }
    auto operation =
        HTTPRequestOperationWithRequest(*request, std::move(success), std::move(failure));
    operationQueue_->addOperation(operation);
    return operation;
}

QString HCHTTPRequestOperationManager::description() const
{
    return u"<HCHTTPRequestOperationManager: %1, baseURL: %2, operationQueue: <OperationQueue: %3>>"_s
        .arg(QString::asprintf("%p", static_cast<const void *>(this)),
             baseURL_.isEmpty() ? u"(null)"_s : baseURL_.toString(QUrl::FullyEncoded),
             QString::asprintf("%p", static_cast<const void *>(operationQueue_.get())));
}
