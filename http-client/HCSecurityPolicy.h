#pragma once

#include "ServerTrust.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>
#include <optional>

// How a server's chain is pinned to what the application carries. Any other
// value is allowed and makes every evaluation answer NO.
enum HCSSLPinningMode : unsigned long {
    HCSSLPinningModeNone = 0,
    HCSSLPinningModePublicKey = 1,
    HCSSLPinningModeCertificate = 2,
};

// Decides whether to trust the certificate chain a TLS server presents:
// evaluated against the system's trust store alone, or also pinned to
// certificates or public keys of the application's.
//
// A policy is set up once and then only read: evaluateServerTrust may run on
// any thread, but nothing may change the policy while it does.
class HCSecurityPolicy {
public:
    // No pinning, host names checked, invalid certificates refused.
    static std::shared_ptr<HCSecurityPolicy> defaultPolicy();
    // pinningMode with defaultPinnedCertificates as the pins.
    static std::shared_ptr<HCSecurityPolicy> policyWithPinningMode(HCSSLPinningMode pinningMode);

    // The contents of every "*.cer" file (DER) in the application's data
    // directories: "ZEK/ZEKUploader" under $XDG_DATA_HOME, then under each
    // directory of $XDG_DATA_DIRS (QStandardPaths' generic data locations),
    // each directory's files in name order. A file that cannot be read is left
    // out. Read on the first call in the process and kept; safe from any
    // thread.
    static const QList<QByteArray> &defaultPinnedCertificates();

    HCSecurityPolicy() = default;

    HCSSLPinningMode SSLPinningMode() const { return SSLPinningMode_; }
    void setSSLPinningMode(HCSSLPinningMode mode) { SSLPinningMode_ = mode; }

    // Trust a chain that the evaluation refuses. Without pinning the chain is
    // then not even evaluated; with certificate pinning it does not help.
    bool allowInvalidCertificates() const { return allowInvalidCertificates_; }
    void setAllowInvalidCertificates(bool allow) { allowInvalidCertificates_ = allow; }

    // Check the leaf against the host name (and for server use) rather than
    // only the chain.
    bool validatesDomainName() const { return validatesDomainName_; }
    void setValidatesDomainName(bool validates) { validatesDomainName_ = validates; }

    // When pinning, every certificate of the chain must match a pin, not only
    // the leaf (keys) or the anchor (certificates).
    bool validatesCertificateChain() const { return validatesCertificateChain_; }
    void setValidatesCertificateChain(bool validates) { validatesCertificateChain_ = validates; }

    // DER certificates: the anchors when pinning certificates, and the source
    // of pinnedPublicKeys. nullopt is no pins.
    const std::optional<QList<QByteArray>> &pinnedCertificates() const
    {
        return pinnedCertificates_;
    }
    // Also derives pinnedPublicKeys, so that evaluations need not.
    void setPinnedCertificates(std::optional<QList<QByteArray>> certificates);

    // The public keys of pinnedCertificates in their order; an entry that is
    // no certificate, or whose key cannot be had, has none. nullopt while
    // pinnedCertificates is.
    const std::optional<QList<zek::PublicKey>> &pinnedPublicKeys() const
    {
        return pinnedPublicKeys_;
    }

    // Whether to trust the chain in trust for the host forDomain (null: no
    // host to check). Sets the trust's policies, and in certificate pinning
    // its anchors; the chain it counts is the one the evaluation built, from
    // the leaf to the anchor.
    bool evaluateServerTrust(zek::ServerTrust &trust, const QString &forDomain) const;
    // The same without a host name.
    bool evaluateServerTrust(zek::ServerTrust &trust) const;

private:
    HCSSLPinningMode SSLPinningMode_ = HCSSLPinningModeNone;
    bool allowInvalidCertificates_ = false;
    bool validatesDomainName_ = true;
    bool validatesCertificateChain_ = true;
    std::optional<QList<QByteArray>> pinnedCertificates_;
    std::optional<QList<zek::PublicKey>> pinnedPublicKeys_;
};
