#pragma once

#include "HCHTTPRequestOperation.h"
#include "HCHTTPRequestSerializer.h"
#include "HCHTTPResponseSerializer.h"
#include "HCNetworkReachabilityManager.h"
#include "HCSecurityPolicy.h"
#include "Operation.h"

#include <QUrl>
#include <memory>
#include <optional>

// The front door of the HTTP client: the configuration that the requests of one
// client share, and the call that turns a multipart POST into a queued request
// operation. Each manager has its own operation queue; an operation once queued
// runs to its end and reports even after the manager has been let go.
//
// Configure and call it from one thread. Properties are read when an operation
// is made, so changing one affects later operations only.
class HCHTTPRequestOperationManager {
public:
    // A manager without a base URL.
    static std::shared_ptr<HCHTTPRequestOperationManager> manager();
    // A base URL with a non-empty path gets a trailing slash, so that relative
    // URL strings resolve below its last segment.
    explicit HCHTTPRequestOperationManager(const QUrl &baseURL = QUrl());
    HCHTTPRequestOperationManager(const HCHTTPRequestOperationManager &) = delete;
    HCHTTPRequestOperationManager &operator=(const HCHTTPRequestOperationManager &) = delete;

    // Empty for none.
    const QUrl &baseURL() const { return baseURL_; }

    const std::shared_ptr<HCHTTPRequestSerializer> &requestSerializer() const
    {
        return requestSerializer_;
    }
    void setRequestSerializer(std::shared_ptr<HCHTTPRequestSerializer> serializer)
    {
        requestSerializer_ = std::move(serializer);
    }
    // Shared with every operation made (an HCJSONResponseSerializer at first).
    const std::shared_ptr<HCHTTPResponseSerializer> &responseSerializer() const
    {
        return responseSerializer_;
    }
    void setResponseSerializer(std::shared_ptr<HCHTTPResponseSerializer> serializer)
    {
        responseSerializer_ = std::move(serializer);
    }
    const std::shared_ptr<HCSecurityPolicy> &securityPolicy() const { return securityPolicy_; }
    void setSecurityPolicy(std::shared_ptr<HCSecurityPolicy> policy)
    {
        securityPolicy_ = std::move(policy);
    }
    bool shouldUseCredentialStorage() const { return shouldUseCredentialStorage_; }
    void setShouldUseCredentialStorage(bool use) { shouldUseCredentialStorage_ = use; }

    const std::shared_ptr<zek::OperationQueue> &operationQueue() const { return operationQueue_; }
    // None: callbacks run on the main queue.
    const std::shared_ptr<zek::DispatchQueue> &completionQueue() const { return completionQueue_; }
    void setCompletionQueue(std::shared_ptr<zek::DispatchQueue> queue)
    {
        completionQueue_ = std::move(queue);
    }
    const std::shared_ptr<zek::DispatchGroup> &completionGroup() const { return completionGroup_; }
    void setCompletionGroup(std::shared_ptr<zek::DispatchGroup> group)
    {
        completionGroup_ = std::move(group);
    }
    // Given to every operation made (none at first), so it is in place before
    // the request is sent.
    const HCRequestOperationRedirect &redirectCallback() const { return redirectCallback_; }
    void setRedirectCallback(HCRequestOperationRedirect callback)
    {
        redirectCallback_ = std::move(callback);
    }
    // Given to every operation made (none at first): how far its body has
    // gone, on the main queue.
    const HCUploadProgressBlock &uploadProgressCallback() const { return uploadProgressCallback_; }
    void setUploadProgressCallback(HCUploadProgressBlock callback)
    {
        uploadProgressCallback_ = std::move(callback);
    }
    const std::shared_ptr<HCNetworkReachabilityManager> &reachabilityManager() const
    {
        return reachabilityManager_;
    }

    // A new operation for request with this manager's serializer, policy,
    // callbacks (the redirect callback too) and completion queue and group;
    // not queued.
    std::shared_ptr<HCHTTPRequestOperation>
    HTTPRequestOperationWithRequest(const HCURLRequest &request, HCRequestOperationSuccess success,
                                    HCRequestOperationFailure failure);

    // A multipart/form-data POST to URLString (resolved against baseURL), with
    // the parameters as parts and then what constructingBodyWithBlock appends
    // (run at once, on this thread), queued and returned. When the request
    // cannot be built, nothing is queued, none is returned and failure runs
    // later on the completion queue with no operation.
    std::shared_ptr<HCHTTPRequestOperation>
    POST(const QString &URLString, const std::optional<QVariantMap> &parameters,
         const HCConstructingBodyBlock &constructingBodyWithBlock,
         HCRequestOperationSuccess success, HCRequestOperationFailure failure);

    // "<HCHTTPRequestOperationManager: address, baseURL: ..., operationQueue: ...>".
    QString description() const;

private:
    QUrl baseURL_;
    std::shared_ptr<HCHTTPRequestSerializer> requestSerializer_;
    std::shared_ptr<HCHTTPResponseSerializer> responseSerializer_;
    std::shared_ptr<HCSecurityPolicy> securityPolicy_;
    std::shared_ptr<HCNetworkReachabilityManager> reachabilityManager_;
    std::shared_ptr<zek::OperationQueue> operationQueue_;
    bool shouldUseCredentialStorage_ = true;
    std::shared_ptr<zek::DispatchQueue> completionQueue_;
    std::shared_ptr<zek::DispatchGroup> completionGroup_;
    HCRequestOperationRedirect redirectCallback_;
    HCUploadProgressBlock uploadProgressCallback_;
};
