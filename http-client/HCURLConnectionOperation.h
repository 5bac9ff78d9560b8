#pragma once

#include "Dispatch.h"
#include "Error.h"
#include "HCHTTPURLResponse.h"
#include "HCOperationState.h"
#include "HCSecurityPolicy.h"
#include "HCURLConnection.h"
#include "HCURLRequest.h"
#include "Operation.h"

#include <QByteArray>
#include <QRecursiveMutex>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QThread;

// Posted on the main queue with the operation as the object: once the
// connection has been handed to the transport (or the start found the
// operation cancelled), and once the operation has finished.
inline constexpr QLatin1StringView HCOperationDidStartNotification{
    "com.zek.HTTPClient.operation.start"};
inline constexpr QLatin1StringView HCOperationDidFinishNotification{
    "com.zek.HTTPClient.operation.finish"};

// Told of a redirect the transport follows: where the request goes next and
// the redirect's head.
using HCRedirectResponseBlock =
    std::function<void(const QUrl &URL, const HCHTTPURLResponse &redirectResponse)>;
// Told how far the request's body has gone: bytes written since the last
// call, in all, and the length expected (-1 when unknown).
using HCUploadProgressBlock =
    std::function<void(qint64 bytesWritten, qint64 totalBytesWritten, qint64 totalBytesExpected)>;

// Completion blocks of operations without a completion group are counted here.
const std::shared_ptr<zek::DispatchGroup> &url_request_operation_completion_group();
// Where an operation lets go of its completion block once its callbacks have run.
const std::shared_ptr<zek::DispatchQueue> &url_request_operation_completion_queue();

// One HTTP request as a concurrent operation: the exchange runs on the shared
// network thread (HCURLConnection::networkRequestThread()), the reply body is
// collected in memory, and the operation finishes at the end of loading, on
// failure or on cancellation.
//
// State: ready, then executing (start), then finished. Changes are announced
// as will/did notices of the new state's key and the old one's
// (HCKeyPathFromOperationState), and a change HCOperationStateChangeAllowed
// forbids is ignored.
//
// Lives in a shared pointer. The queue keeps it while it runs; a completion
// block set through setCompletionBlock keeps it until the block has run on
// its completion queue. Every member may be called from any thread.
class HCURLConnectionOperation : public zek::Operation, public HCURLConnectionDelegate {
public:
    explicit HCURLConnectionOperation(HCURLRequest request);
    ~HCURLConnectionOperation() override;

    // Where every operation's connection runs.
    static QThread *networkRequestThread();

    const HCURLRequest &request() const { return request_; }
    // The head of the reply, once one has come.
    std::optional<HCHTTPURLResponse> response() const;
    // The transport's error or the cancellation error (NSURLErrorCancelled,
    // naming the request's URL); none on success.
    virtual std::optional<zek::Error> error() const;
    // The whole reply body, once loading has finished.
    std::optional<QByteArray> responseData() const;
    void setResponseData(std::optional<QByteArray> data);

    // Kept for the request's settings; the transport has no credential store.
    bool shouldUseCredentialStorage() const { return shouldUseCredentialStorage_; }
    void setShouldUseCredentialStorage(bool use) { shouldUseCredentialStorage_ = use; }

    // Judges the TLS server's chain; HCSecurityPolicy::defaultPolicy() at first.
    std::shared_ptr<HCSecurityPolicy> securityPolicy() const;
    void setSecurityPolicy(std::shared_ptr<HCSecurityPolicy> policy);

    // Optional; runs on the network thread, once per redirect followed, before
    // the operation finishes.
    void setRedirectResponseBlock(HCRedirectResponseBlock block);
    // Optional; runs on the main queue as the body goes out. Counts start over
    // when a redirect sends the body again.
    void setUploadProgressBlock(HCUploadProgressBlock block);

    // Where completion blocks run (none: the main queue) and the group they
    // are counted in (none: url_request_operation_completion_group()).
    std::shared_ptr<zek::DispatchQueue> completionQueue() const;
    void setCompletionQueue(std::shared_ptr<zek::DispatchQueue> queue);
    std::shared_ptr<zek::DispatchGroup> completionGroup() const;
    void setCompletionGroup(std::shared_ptr<zek::DispatchGroup> group);
    // Runs work on completionQueue() (none: the main queue), counted in
    // completionGroup() (none: defaultGroup); returns the group it is counted in.
    std::shared_ptr<zek::DispatchGroup>
    dispatchCompletion(const std::shared_ptr<zek::DispatchGroup> &defaultGroup,
                       zek::DispatchWork work) const;

    qint64 state() const { return state_.load(); }
    // Moves to state when HCOperationStateChangeAllowed allows it, announcing
    // the change.
    void setState(qint64 state);

    bool isReady() const override;
    bool isExecuting() const override;
    bool isFinished() const override;
    bool isConcurrent() const override;

    // Called by the queue: hands the exchange (or, once cancelled, its end)
    // to the network thread without waiting.
    void start() override;
    // Ends the exchange with NSURLErrorCancelled; nothing once finished.
    void cancel() override;
    // The block runs on completionQueue(), counted in the completion group,
    // once the operation has finished; then the operation lets go of it.
    void setCompletionBlock(CompletionBlock block) override;

    // "<Class: address, state: isReady, cancelled: NO request: ..., response: ...>".
    QString description() const;

protected:
    virtual QString className() const;
    // Guards the state, the reply, the completion block and a subclass's
    // serializer; never held while the transport runs curl, whose body
    // reading may wait for the main thread.
    mutable QRecursiveMutex lock_;

private:
    void operationDidStart();
    void cancelConnection();
    void finish();
    void postNotification(QLatin1StringView name);
    void toNetworkThread(void (HCURLConnectionOperation::*work)());
    std::shared_ptr<HCURLConnectionOperation> self();

    bool connectionShouldTrustServer(HCURLConnection &connection, zek::ServerTrust &trust,
                                     const QString &host) override;
    void connectionWillFollowRedirect(HCURLConnection &connection, const QUrl &URL,
                                      const HCHTTPURLResponse &redirectResponse) override;
    void connectionDidSendBodyData(HCURLConnection &connection, qint64 bytesWritten,
                                   qint64 totalBytesWritten,
                                   qint64 totalBytesExpectedToWrite) override;
    void connectionDidReceiveResponse(HCURLConnection &connection,
                                      const HCHTTPURLResponse &response) override;
    void connectionDidReceiveData(HCURLConnection &connection, const QByteArray &data) override;
    void connectionDidFinishLoading(HCURLConnection &connection) override;
    void connectionDidFail(HCURLConnection &connection, const zek::Error &error) override;

    const HCURLRequest request_;
    std::atomic<qint64> state_{HCOperationReadyState};
    std::atomic<bool> shouldUseCredentialStorage_{true};
    std::shared_ptr<HCURLConnection> connection_;
    std::optional<HCHTTPURLResponse> response_;
    std::optional<zek::Error> error_;
    QByteArray received_;
    std::optional<QByteArray> responseData_;
    std::shared_ptr<HCSecurityPolicy> securityPolicy_;
    std::shared_ptr<zek::DispatchQueue> completionQueue_;
    std::shared_ptr<zek::DispatchGroup> completionGroup_;
    HCRedirectResponseBlock redirectResponse_;
    HCUploadProgressBlock uploadProgress_;
};
