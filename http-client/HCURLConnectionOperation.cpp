#include "HCURLConnectionOperation.h"

#include "HCNetworkThread.h"
#include "HCURLError.h"
#include "NotificationCenter.h"

#include <QCoreApplication>
#include <QMutexLocker>

using namespace Qt::StringLiterals;

namespace {

QString describe(const HCURLRequest &request)
{
    return u"<HCURLRequest: %1 %2>"_s.arg(request.HTTPMethod(),
                                          request.URL().toString(QUrl::FullyEncoded));
}

QString describe(const std::optional<HCHTTPURLResponse> &response)
{
    if (!response) {
        return u"(null)"_s;
    }
    return u"<HCHTTPURLResponse: %1> { status code: %2 }"_s.arg(
        response->URL().toString(QUrl::FullyEncoded), QString::number(response->statusCode()));
}

} // namespace

const std::shared_ptr<zek::DispatchGroup> &url_request_operation_completion_group()
{
    // Never freed: work may still be counted in it while the process exits.
    static const auto *group =
        new std::shared_ptr<zek::DispatchGroup>(std::make_shared<zek::DispatchGroup>());
    return *group;
}

const std::shared_ptr<zek::DispatchQueue> &url_request_operation_completion_queue()
{
    static const auto *queue = new std::shared_ptr<zek::DispatchQueue>(
        zek::DispatchQueue::concurrent(u"com.zek.HTTPClient.connection-operation.completion"_s));
    return *queue;
}

HCURLConnectionOperation::HCURLConnectionOperation(HCURLRequest request)
    : request_(std::move(request)), securityPolicy_(HCSecurityPolicy::defaultPolicy())
{}

HCURLConnectionOperation::~HCURLConnectionOperation() = default;

QThread *HCURLConnectionOperation::networkRequestThread()
{
    return HCURLConnection::networkRequestThread();
}

std::shared_ptr<HCURLConnectionOperation> HCURLConnectionOperation::self()
{
    return std::static_pointer_cast<HCURLConnectionOperation>(shared_from_this());
}

std::optional<HCHTTPURLResponse> HCURLConnectionOperation::response() const
{
    QMutexLocker locker(&lock_);
    return response_;
}

std::optional<zek::Error> HCURLConnectionOperation::error() const
{
    QMutexLocker locker(&lock_);
    return error_;
}

std::optional<QByteArray> HCURLConnectionOperation::responseData() const
{
    QMutexLocker locker(&lock_);
    return responseData_;
}

void HCURLConnectionOperation::setResponseData(std::optional<QByteArray> data)
{
    QMutexLocker locker(&lock_);
    responseData_ = std::move(data);
}

std::shared_ptr<HCSecurityPolicy> HCURLConnectionOperation::securityPolicy() const
{
    QMutexLocker locker(&lock_);
    return securityPolicy_;
}

void HCURLConnectionOperation::setSecurityPolicy(std::shared_ptr<HCSecurityPolicy> policy)
{
    QMutexLocker locker(&lock_);
    securityPolicy_ = std::move(policy);
}

void HCURLConnectionOperation::setRedirectResponseBlock(HCRedirectResponseBlock block)
{
    QMutexLocker locker(&lock_);
    redirectResponse_ = std::move(block);
}

void HCURLConnectionOperation::setUploadProgressBlock(HCUploadProgressBlock block)
{
    QMutexLocker locker(&lock_);
    uploadProgress_ = std::move(block);
}

std::shared_ptr<zek::DispatchQueue> HCURLConnectionOperation::completionQueue() const
{
    QMutexLocker locker(&lock_);
    return completionQueue_;
}

void HCURLConnectionOperation::setCompletionQueue(std::shared_ptr<zek::DispatchQueue> queue)
{
    QMutexLocker locker(&lock_);
    completionQueue_ = std::move(queue);
}

std::shared_ptr<zek::DispatchGroup> HCURLConnectionOperation::completionGroup() const
{
    QMutexLocker locker(&lock_);
    return completionGroup_;
}

void HCURLConnectionOperation::setCompletionGroup(std::shared_ptr<zek::DispatchGroup> group)
{
    QMutexLocker locker(&lock_);
    completionGroup_ = std::move(group);
}

void HCURLConnectionOperation::setState(qint64 state)
{
    // Judged before the lock, as the transition rule is about the state seen.
    if (!HCOperationStateChangeAllowed(state_.load(), state, isCancelled())) {
        return;
    }
    QMutexLocker locker(&lock_);
    const QString oldKey = HCKeyPathFromOperationState(state_.load());
    const QString newKey = HCKeyPathFromOperationState(state);
    willChangeValueForKey(newKey);
    willChangeValueForKey(oldKey);
    state_.store(state);
    didChangeValueForKey(oldKey);
    didChangeValueForKey(newKey);
}

bool HCURLConnectionOperation::isReady() const
{
    return state_.load() == HCOperationReadyState && zek::Operation::isReady();
}

bool HCURLConnectionOperation::isExecuting() const
{
    return state_.load() == HCOperationExecutingState;
}

bool HCURLConnectionOperation::isFinished() const
{
    return state_.load() == HCOperationFinishedState;
}

bool HCURLConnectionOperation::isConcurrent() const
{
    return true;
}

void HCURLConnectionOperation::toNetworkThread(void (HCURLConnectionOperation::*work)())
{
    HCNetworkThread::post([operation = self(), work] { ((*operation).*work)(); });
}

void HCURLConnectionOperation::start()
{
    QMutexLocker locker(&lock_);
    if (isCancelled()) {
        toNetworkThread(&HCURLConnectionOperation::cancelConnection);
    } else if (isReady()) {
        setState(HCOperationExecutingState);
        toNetworkThread(&HCURLConnectionOperation::operationDidStart);
    }
}

void HCURLConnectionOperation::operationDidStart()
{
    std::shared_ptr<HCURLConnection> connection;
    {
        QMutexLocker locker(&lock_);
        if (!isCancelled()) {
            connection_ = HCURLConnection::connectionWithRequest(request_, self());
            connection = connection_;
        }
    }
    if (connection) {
        connection->start();
    }
    postNotification(HCOperationDidStartNotification);
}

void HCURLConnectionOperation::cancel()
{
    QMutexLocker locker(&lock_);
    if (isFinished() || isCancelled()) {
        return;
    }
    zek::Operation::cancel();
    if (isExecuting()) {
        toNetworkThread(&HCURLConnectionOperation::cancelConnection);
    }
}

void HCURLConnectionOperation::cancelConnection()
{
    const zek::Error cancellation =
        HCURLErrorWithCode(zek::NSURLErrorCancelled, request_.URL(),
                           QCoreApplication::translate("HCURLConnectionOperation", "cancelled"));

    std::shared_ptr<HCURLConnection> connection;
    {
        QMutexLocker locker(&lock_);
        if (isFinished()) {
            return;
        }
        connection = connection_;
    }
    if (connection) {
        // Outside the lock: the transport reports the end to the delegate
        // at once, and curl must run without our lock held.
        connection->cancel();
        connectionDidFail(*connection, cancellation);
    } else {
        {
            QMutexLocker locker(&lock_);
            error_ = cancellation;
        }
        finish();
    }
}

void HCURLConnectionOperation::finish()
{
    {
        QMutexLocker locker(&lock_);
        setState(HCOperationFinishedState);
        // Nothing comes after the end, and the hooks may hold what holds the operation.
        redirectResponse_ = nullptr;
        uploadProgress_ = nullptr;
    }
    postNotification(HCOperationDidFinishNotification);
}

void HCURLConnectionOperation::postNotification(QLatin1StringView name)
{
    zek::DispatchQueue::mainQueue()->async([operation = self(), name = QString(name)] {
        zek::NotificationCenter::defaultCenter().post(name, operation);
    });
}

bool HCURLConnectionOperation::connectionShouldTrustServer(HCURLConnection &,
                                                           zek::ServerTrust &trust,
                                                           const QString &host)
{
    const std::shared_ptr<HCSecurityPolicy> policy = securityPolicy();
    return policy && policy->evaluateServerTrust(trust, host);
}

void HCURLConnectionOperation::connectionWillFollowRedirect(
    HCURLConnection &, const QUrl &URL, const HCHTTPURLResponse &redirectResponse)
{
    HCRedirectResponseBlock block;
    {
        QMutexLocker locker(&lock_);
        block = redirectResponse_;
    }
    // Outside the lock: the block is the application's.
    if (block) {
        block(URL, redirectResponse);
    }
}

void HCURLConnectionOperation::connectionDidSendBodyData(HCURLConnection &, qint64 bytesWritten,
                                                         qint64 totalBytesWritten,
                                                         qint64 totalBytesExpectedToWrite)
{
    HCUploadProgressBlock block;
    {
        QMutexLocker locker(&lock_);
        block = uploadProgress_;
    }
    if (block) {
        zek::DispatchQueue::mainQueue()->async(
            [block, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite] {
                block(bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
            });
    }
}

void HCURLConnectionOperation::connectionDidReceiveResponse(HCURLConnection &,
                                                            const HCHTTPURLResponse &response)
{
    QMutexLocker locker(&lock_);
    response_ = response;
}

void HCURLConnectionOperation::connectionDidReceiveData(HCURLConnection &, const QByteArray &data)
{
    QMutexLocker locker(&lock_);
    received_ += data;
}

void HCURLConnectionOperation::connectionDidFinishLoading(HCURLConnection &)
{
    std::shared_ptr<HCURLConnection> connection;
    {
        QMutexLocker locker(&lock_);
        if (isFinished()) {
            return;
        }
        responseData_ = std::exchange(received_, QByteArray());
        connection = std::move(connection_);
    }
    finish();
}

void HCURLConnectionOperation::connectionDidFail(HCURLConnection &, const zek::Error &error)
{
    std::shared_ptr<HCURLConnection> connection;
    {
        QMutexLocker locker(&lock_);
        // A cancellation reaches here twice: from the transport and from
        // cancelConnection; the first one ends the operation.
        if (isFinished()) {
            return;
        }
        error_ = error;
        received_.clear();
        connection = std::move(connection_);
    }
    finish();
}

void HCURLConnectionOperation::setCompletionBlock(CompletionBlock block)
{
    QMutexLocker locker(&lock_);
    if (!block) {
        zek::Operation::setCompletionBlock({});
        return;
    }
    std::weak_ptr<HCURLConnectionOperation> weakOperation = self();
    zek::Operation::setCompletionBlock([weakOperation, block = std::move(block)] {
        const std::shared_ptr<HCURLConnectionOperation> operation = weakOperation.lock();
        if (!operation) {
            return;
        }
        const std::shared_ptr<zek::DispatchGroup> group =
            operation->dispatchCompletion(url_request_operation_completion_group(), block);
        // Ends the cycle between the operation and a block that holds it.
        group->notify(url_request_operation_completion_queue(),
                      [operation] { operation->setCompletionBlock({}); });
    });
}

std::shared_ptr<zek::DispatchGroup> HCURLConnectionOperation::dispatchCompletion(
    const std::shared_ptr<zek::DispatchGroup> &defaultGroup, zek::DispatchWork work) const
{
    std::shared_ptr<zek::DispatchGroup> group = completionGroup();
    if (!group) {
        group = defaultGroup;
    }
    std::shared_ptr<zek::DispatchQueue> queue = completionQueue();
    if (!queue) {
        queue = zek::DispatchQueue::mainQueue();
    }
    group->async(queue, std::move(work));
    return group;
}

QString HCURLConnectionOperation::className() const
{
    return u"HCURLConnectionOperation"_s;
}

QString HCURLConnectionOperation::description() const
{
    QMutexLocker locker(&lock_);
    return u"<%1: %2, state: %3, cancelled: %4 request: %5, response: %6>"_s.arg(
        className(), QString::asprintf("%p", static_cast<const void *>(this)),
        HCKeyPathFromOperationState(state_.load()), isCancelled() ? u"YES"_s : u"NO"_s,
        describe(request_), describe(response_));
}
