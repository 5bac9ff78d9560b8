#include "ServerTrust.h"

#include <algorithm>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

namespace zek {

namespace {

struct StoreFree {
    void operator()(X509_STORE *store) const { X509_STORE_free(store); }
};
struct StoreContextFree {
    void operator()(X509_STORE_CTX *context) const { X509_STORE_CTX_free(context); }
};
struct StackFree {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};
struct StackPopFree {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, X509_free); }
};
struct BioFree {
    void operator()(BIO *bio) const { BIO_free(bio); }
};
using Store = std::unique_ptr<X509_STORE, StoreFree>;

// The system's trust store, made once: loading it means reading every root of
// the system, far too much for each TLS handshake. X509_STORE locks its own
// look-ups, so all threads share it.
X509_STORE *systemTrustStore()
{
    static const Store store = [] {
        Store made(X509_STORE_new());
        if (made && X509_STORE_set_default_paths(made.get()) != 1) {
            made.reset();
        }
        return made;
    }();
    return store.get();
}

Store anchorStore(const std::vector<Certificate> &anchors)
{
    Store store(X509_STORE_new());
    if (!store) {
        return store;
    }
    for (const Certificate &anchor : anchors) {
        // A duplicate is no error worth failing for; anything else leaves the
        // anchor out, which can only make the chain less trusted.
        X509_STORE_add_cert(store.get(), anchor.get());
    }
    return store;
}

// The leaf against one named SSL policy. X509_check_ip_asc answers -2 for
// text that is no IP address, which then is a host name.
bool leafMatchesHost(X509 *leaf, const QString &hostName)
{
    if (hostName.isEmpty()) {
        return false;
    }
    const QByteArray name = hostName.toUtf8();
    if (name.contains('\0')) {
        return false;
    }
    const int asAddress = X509_check_ip_asc(leaf, name.constData(), 0);
    if (asAddress != -2) {
        return asAddress == 1;
    }
    return X509_check_host(leaf, name.constData(), size_t(name.size()), 0, nullptr) == 1;
}

} // namespace

Certificate retainCertificate(X509 *certificate)
{
    if (!certificate || X509_up_ref(certificate) != 1) {
        return {};
    }
    return Certificate(certificate, X509_free);
}

Certificate certificateWithData(const QByteArray &der)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(der.constData());
    const unsigned char *end = bytes;
    ERR_set_mark(); // bytes that do not parse are an answer, not an error to leave behind
    X509 *parsed = d2i_X509(nullptr, &end, long(der.size()));
    ERR_pop_to_mark();
    if (!parsed) {
        return {};
    }
    Certificate certificate(parsed, X509_free);
    if (end != bytes + der.size()) {
        return {};
    }
    return certificate;
}

QByteArray certificateData(const Certificate &certificate)
{
    if (!certificate) {
        return {};
    }
    const int length = i2d_X509(certificate.get(), nullptr);
    if (length <= 0) {
        return {};
    }
    QByteArray der(length, Qt::Uninitialized);
    auto *out = reinterpret_cast<unsigned char *>(der.data());
    if (i2d_X509(certificate.get(), &out) != length) {
        return {};
    }
    return der;
}

QByteArray publicKeyPEM(const PublicKey &key)
{
    if (!key) {
        return {};
    }
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key.get()) != 1) {
        return {};
    }
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    if (length <= 0) {
        return {};
    }
    return QByteArray(data, qsizetype(length));
}

TrustPolicy TrustPolicy::SSLServer(const QString &hostName)
{
    return TrustPolicy(true, hostName);
}

TrustPolicy TrustPolicy::basicX509()
{
    return TrustPolicy(false, QString());
}

ServerTrust::ServerTrust(std::vector<Certificate> certificates, std::vector<TrustPolicy> policies)
    : peerCertificates_(std::move(certificates)), policies_(std::move(policies))
{}

void ServerTrust::setPolicies(std::vector<TrustPolicy> policies)
{
    policies_ = std::move(policies);
    evaluatedCertificates_.reset();
}

void ServerTrust::setAnchorCertificates(std::optional<std::vector<Certificate>> anchors)
{
    if (anchors) {
        std::erase(*anchors, nullptr);
    }
    anchors_ = std::move(anchors);
    evaluatedCertificates_.reset();
}

const std::vector<Certificate> &ServerTrust::certificates() const
{
    return evaluatedCertificates_ ? *evaluatedCertificates_ : peerCertificates_;
}

PublicKey ServerTrust::copyPublicKey() const
{
    const std::vector<Certificate> &chain = certificates();
    if (chain.empty() || !chain.front()) {
        return {};
    }
    EVP_PKEY *key = X509_get_pubkey(chain.front().get());
    return key ? PublicKey(key, EVP_PKEY_free) : PublicKey();
}

std::optional<ServerTrust::Result> ServerTrust::evaluate()
{
    // Whatever OpenSSL notes on this thread's error list stays here: evaluation runs inside a
    // TLS handshake, which would take a leftover error for its own.
    ERR_set_mark();
    const std::optional<Result> result = evaluateChain();
    ERR_pop_to_mark();
    return result;
}

std::optional<ServerTrust::Result> ServerTrust::evaluateChain()
{
    evaluatedCertificates_.reset();
    if (peerCertificates_.empty() || !peerCertificates_.front()) {
        return std::nullopt;
    }

    Store ownStore;
    X509_STORE *store = nullptr;
    if (anchors_) {
        ownStore = anchorStore(*anchors_);
        store = ownStore.get();
    } else {
        store = systemTrustStore();
    }
    if (!store) {
        return std::nullopt;
    }

    std::unique_ptr<STACK_OF(X509), StackFree> untrusted(sk_X509_new_null());
    if (!untrusted) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < peerCertificates_.size(); ++i) {
        if (peerCertificates_[i] && !sk_X509_push(untrusted.get(), peerCertificates_[i].get())) {
            return std::nullopt;
        }
    }

    std::unique_ptr<X509_STORE_CTX, StoreContextFree> context(X509_STORE_CTX_new());
    X509 *leaf = peerCertificates_.front().get();
    if (!context || X509_STORE_CTX_init(context.get(), store, leaf, untrusted.get()) != 1) {
        return std::nullopt;
    }
    const bool SSLServer =
        std::any_of(policies_.begin(), policies_.end(),
                    [](const TrustPolicy &policy) { return policy.isSSLServer(); });
    if (SSLServer && X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_SSL_SERVER) != 1) {
        return std::nullopt;
    }
    if (anchors_) {
        // Only the anchors anchor the chain, whether or not they are roots.
        X509_STORE_CTX_set_flags(context.get(), X509_V_FLAG_PARTIAL_CHAIN);
    }

    const int verified = X509_verify_cert(context.get());
    if (verified < 0) {
        return std::nullopt;
    }

    std::unique_ptr<STACK_OF(X509), StackPopFree> built(X509_STORE_CTX_get1_chain(context.get()));
    if (built && sk_X509_num(built.get()) > 0) {
        std::vector<Certificate> chain;
        for (int i = 0; i < sk_X509_num(built.get()); ++i) {
            chain.push_back(retainCertificate(sk_X509_value(built.get(), i)));
        }
        evaluatedCertificates_ = std::move(chain);
    }

    if (verified != 1) {
        return Result::NotTrusted;
    }
    for (const TrustPolicy &policy : policies_) {
        if (policy.isSSLServer() && !policy.hostName().isNull() &&
            !leafMatchesHost(leaf, policy.hostName())) {
            return Result::NotTrusted;
        }
    }
    return Result::Trusted;
}

} // namespace zek
