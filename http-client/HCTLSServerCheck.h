#pragma once

#include "ServerTrust.h"

#include <curl/curl.h>
#include <functional>

// The check of a TLS server inside the handshake, in place of curl's own
// verification (which must be off): the chain the server sent is judged as a
// whole, once, when OpenSSL reaches the leaf, and that verdict stands for the
// rest of the handshake. One check serves one handshake; it must outlive it.
class HCTLSServerCheck {
public:
    // Gets the chain, leaf first, and tells whether to go on with the handshake.
    using Judge = std::function<bool(zek::ServerTrust &trust)>;

    explicit HCTLSServerCheck(Judge judge);
    HCTLSServerCheck(const HCTLSServerCheck &) = delete;
    HCTLSServerCheck &operator=(const HCTLSServerCheck &) = delete;

    // For CURLOPT_SSL_CTX_FUNCTION, with the check as CURLOPT_SSL_CTX_DATA.
    static CURLcode installOnContext(CURL *easy, void *sslContext, void *check);

    // Whether the judge refused the server; false before it was asked.
    bool refused() const { return refused_; }

private:
    static int verify(int preverified, X509_STORE_CTX *store);
    bool judge(const void *handshake, X509_STORE_CTX *store);

    Judge judge_;
    // The handshake already judged, and the verdict.
    const void *judgedHandshake_ = nullptr;
    bool trusted_ = false;
    bool refused_ = false;
};
