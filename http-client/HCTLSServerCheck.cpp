#include "HCTLSServerCheck.h"

#include <openssl/ssl.h>

namespace {

// Where OpenSSL keeps the check that a TLS context belongs to.
int checkIndex()
{
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// The chain the server sent, leaf first, each certificate once.
std::vector<zek::Certificate> chainOf(X509_STORE_CTX *store)
{
    std::vector<zek::Certificate> chain;
    X509 *leaf = X509_STORE_CTX_get0_cert(store);
    if (leaf) {
        chain.push_back(zek::retainCertificate(leaf));
    }
    if (STACK_OF(X509) *sent = X509_STORE_CTX_get0_untrusted(store)) {
        for (int i = 0; i < sk_X509_num(sent); ++i) {
            X509 *certificate = sk_X509_value(sent, i);
            if (!leaf || X509_cmp(certificate, leaf) != 0) {
                chain.push_back(zek::retainCertificate(certificate));
            }
        }
    }
    return chain;
}

} // namespace

HCTLSServerCheck::HCTLSServerCheck(Judge judge) : judge_(std::move(judge)) {}

CURLcode HCTLSServerCheck::installOnContext(CURL *, void *sslContext, void *check)
{
    auto *context = static_cast<SSL_CTX *>(sslContext);
    SSL_CTX_set_ex_data(context, checkIndex(), check);
    // curl's own verification is off; this callback alone decides.
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, &HCTLSServerCheck::verify);
    return CURLE_OK;
}

int HCTLSServerCheck::verify(int, X509_STORE_CTX *store)
{
    // Every certificate above the leaf passes here: the chain is judged as a
    // whole, once, at the leaf.
    if (X509_STORE_CTX_get_error_depth(store) != 0) {
        return 1;
    }
    auto *ssl =
        static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto *check = ssl ? static_cast<HCTLSServerCheck *>(
                            SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), checkIndex()))
                      : nullptr;
    if (!check) {
        return 0;
    }
    return check->judge(ssl, store) ? 1 : 0;
}

bool HCTLSServerCheck::judge(const void *handshake, X509_STORE_CTX *store)
{
    // OpenSSL may come back to the leaf with further findings; the verdict
    // stands.
    if (judgedHandshake_ == handshake) {
        return trusted_;
    }
    zek::ServerTrust trust(chainOf(store));
    trusted_ = judge_(trust);
    judgedHandshake_ = handshake;
    refused_ = !trusted_;
    return trusted_;
}
