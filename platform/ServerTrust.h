#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <optional>
#include <vector>

namespace zek {

// A certificate and a public key, shared like the platform's reference-counted
// objects. A null pointer is "no certificate" or "no key".
using Certificate = std::shared_ptr<X509>;
using PublicKey = std::shared_ptr<EVP_PKEY>;

// Takes a reference of its own to a certificate that someone else owns (one
// of a TLS peer's chain, for example).
Certificate retainCertificate(X509 *certificate);
// The certificate encoded by der, which must hold exactly one DER certificate
// and nothing after it; null otherwise.
Certificate certificateWithData(const QByteArray &der);
// The DER encoding of certificate; empty when it cannot be encoded.
QByteArray certificateData(const Certificate &certificate);
// key in PEM armour ("-----BEGIN PUBLIC KEY-----"); empty when there is no key
// or it cannot be exported. Two keys are the same key when these bytes are.
QByteArray publicKeyPEM(const PublicKey &key);

// What an evaluation checks a chain against, besides its signatures, dates
// and the trust of its anchor.
class TrustPolicy {
public:
    // A TLS server's certificate: fit for server authentication and, unless
    // hostName is null, issued for that host. A host that is an IPv4 or IPv6
    // address is matched against the certificate's IP addresses only, any
    // other host against its DNS names (wildcards allowed); an empty host
    // matches nothing.
    static TrustPolicy SSLServer(const QString &hostName);
    // Any certificate with a valid chain.
    static TrustPolicy basicX509();

    bool isSSLServer() const { return SSLServer_; }
    const QString &hostName() const { return hostName_; }

    bool operator==(const TrustPolicy &other) const = default;

private:
    TrustPolicy(bool SSLServer, QString hostName)
        : SSLServer_(SSLServer), hostName_(std::move(hostName))
    {}

    bool SSLServer_ = false;
    QString hostName_;
};

// A chain of certificates to be trusted or not, as a TLS peer presents it,
// with the policies and the anchors to evaluate it with. Evaluating fills in
// the chain as it was built, from the leaf to the anchor.
//
// The chain is trusted when it leads from its first certificate to an
// anchor, each certificate valid now and signed by the next, and the leaf
// satisfies every policy. The anchors are the system's trust store (its
// self-signed roots; OpenSSL's default paths, which SSL_CERT_FILE and
// SSL_CERT_DIR override; looked up on the first evaluation in the process and
// kept), unless anchor certificates were set: then those alone, root or not.
//
// Not thread-safe; one trust belongs to one question at a time.
class ServerTrust {
public:
    enum class Result {
        Trusted,
        NotTrusted,
    };

    // certificates: the leaf first, then whatever else the peer sent, which
    // may help to build the chain but is not trusted by being there.
    ServerTrust(std::vector<Certificate> certificates,
                std::vector<TrustPolicy> policies = {TrustPolicy::basicX509()});

    const std::vector<TrustPolicy> &policies() const { return policies_; }
    // Replaces the policies; without any, basicX509 applies.
    void setPolicies(std::vector<TrustPolicy> policies);

    // Replaces the trust store by these anchors (nothing is trusted when the
    // list is empty); nullopt goes back to the trust store. Null entries
    // are ignored.
    void setAnchorCertificates(std::optional<std::vector<Certificate>> anchors);

    // Builds and checks the chain. nullopt when the evaluation cannot run (no
    // certificates, or OpenSSL failed in itself), which is no verdict at all.
    std::optional<Result> evaluate();

    // After an evaluation, the chain it built, from the leaf towards the anchor
    // (as far as it got when the chain is not trusted); before one, or after
    // the policies or anchors changed, the peer's certificates as given.
    const std::vector<Certificate> &certificates() const;

    // The public key of the first certificate of certificates(); null when
    // there is none or it cannot be decoded.
    PublicKey copyPublicKey() const;

private:
    std::optional<Result> evaluateChain();
    std::vector<Certificate> peerCertificates_;
    std::vector<TrustPolicy> policies_;
    std::optional<std::vector<Certificate>> anchors_;
    std::optional<std::vector<Certificate>> evaluatedCertificates_;
};

} // namespace zek
