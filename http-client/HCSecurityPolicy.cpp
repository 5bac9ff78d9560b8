#include "HCSecurityPolicy.h"

#include "ZEKIdentity.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// The trust test: only an evaluation that ran and trusts the chain passes.
bool trusts(zek::ServerTrust &trust)
{
    return trust.evaluate() == zek::ServerTrust::Result::Trusted;
}

// The key of a lone certificate, taken from a trust of its own as the key of a
// chain's leaf is: the evaluation must run, whatever it decides.
zek::PublicKey publicKeyOf(const zek::Certificate &certificate)
{
    zek::ServerTrust trust({certificate}, {zek::TrustPolicy::basicX509()});
    if (!trust.evaluate()) {
        return {};
    }
    return trust.copyPublicKey();
}

QList<QByteArray> readPinnedCertificates()
{
    const QString subdirectory =
        QString::fromUtf8(zek::kOrganizationName) + u'/' + QString::fromUtf8(zek::kApplicationName);
    QList<QByteArray> certificates;
    for (const QString &location :
         QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation)) {
        const QDir directory(location + u'/' + subdirectory);
        // Regular files only: a FIFO named "x.cer" would block the read.
        const QStringList names =
            directory.entryList({u"*.cer"_s}, QDir::Files | QDir::CaseSensitive, QDir::Name);
        for (const QString &name : names) {
            QFile file(directory.filePath(name));
            if (!file.open(QIODevice::ReadOnly)) {
                continue;
            }
            QByteArray contents = file.readAll();
            if (file.error() != QFileDevice::NoError) {
                continue;
            }
            certificates.append(std::move(contents));
        }
    }
    return certificates;
}

} // namespace

std::shared_ptr<HCSecurityPolicy> HCSecurityPolicy::defaultPolicy()
{
    auto policy = std::make_shared<HCSecurityPolicy>();
    policy->setSSLPinningMode(HCSSLPinningModeNone);
    return policy;
}

std::shared_ptr<HCSecurityPolicy>
HCSecurityPolicy::policyWithPinningMode(HCSSLPinningMode pinningMode)
{
    auto policy = std::make_shared<HCSecurityPolicy>();
    policy->setSSLPinningMode(pinningMode);
    policy->setPinnedCertificates(defaultPinnedCertificates());
    return policy;
}

const QList<QByteArray> &HCSecurityPolicy::defaultPinnedCertificates()
{
    static const QList<QByteArray> certificates = readPinnedCertificates();
    return certificates;
}

void HCSecurityPolicy::setPinnedCertificates(std::optional<QList<QByteArray>> certificates)
{
    pinnedCertificates_ = std::move(certificates);
    if (!pinnedCertificates_) {
        pinnedPublicKeys_.reset();
        return;
    }
    QList<zek::PublicKey> keys;
    for (const QByteArray &der : *pinnedCertificates_) {
        const zek::Certificate certificate = zek::certificateWithData(der);
        if (!certificate) {
            continue;
        }
        if (zek::PublicKey key = publicKeyOf(certificate)) {
            keys.append(std::move(key));
        }
    }
    pinnedPublicKeys_ = std::move(keys);
}

bool HCSecurityPolicy::evaluateServerTrust(zek::ServerTrust &trust) const
{
    return evaluateServerTrust(trust, QString());
}

bool HCSecurityPolicy::evaluateServerTrust(zek::ServerTrust &trust, const QString &forDomain) const
{
    trust.setPolicies({validatesDomainName_ ? zek::TrustPolicy::SSLServer(forDomain)
                                            : zek::TrustPolicy::basicX509()});

    if (SSLPinningMode_ == HCSSLPinningModeNone) {
        return allowInvalidCertificates_ || trusts(trust);
    }
    if (!trusts(trust) && !allowInvalidCertificates_) {
        return false;
    }

    // The chain as the evaluation built it: with the anchor, which the peer
    // need not have sent, and without strays that it did send.
    const std::vector<zek::Certificate> chain = trust.certificates();
    QList<QByteArray> serverCertificates;
    for (const zek::Certificate &certificate : chain) {
        serverCertificates.append(zek::certificateData(certificate));
    }

    switch (SSLPinningMode_) {
    case HCSSLPinningModePublicKey: {
        QList<QByteArray> chainKeys;
        for (const zek::Certificate &certificate : chain) {
            if (const zek::PublicKey key = publicKeyOf(certificate)) {
                chainKeys.append(zek::publicKeyPEM(key));
            }
        }
        if (!validatesCertificateChain_ && !chainKeys.isEmpty()) {
            chainKeys.resize(1);
        }
        QList<QByteArray> pinnedKeys;
        for (const zek::PublicKey &key : pinnedPublicKeys_.value_or(QList<zek::PublicKey>())) {
            pinnedKeys.append(zek::publicKeyPEM(key));
        }
        // Every pair counts, so a key pinned twice matches twice. A key without
        // an export matches nothing.
        qsizetype matches = 0;
        for (const QByteArray &chainKey : chainKeys) {
            for (const QByteArray &pinnedKey : pinnedKeys) {
                if (!chainKey.isEmpty() && chainKey == pinnedKey) {
                    ++matches;
                }
            }
        }
        if (matches == 0) {
            return false;
        }
        return !validatesCertificateChain_ || matches == serverCertificates.size();
    }
    case HCSSLPinningModeCertificate: {
        const QList<QByteArray> pins = pinnedCertificates_.value_or(QList<QByteArray>());
        std::vector<zek::Certificate> anchors;
        for (const QByteArray &der : pins) {
            if (zek::Certificate anchor = zek::certificateWithData(der)) {
                anchors.push_back(std::move(anchor));
            }
        }
        trust.setAnchorCertificates(std::move(anchors));
        if (!trusts(trust)) {
            return false;
        }
        if (!validatesCertificateChain_) {
            return true;
        }
        const auto pinned = [&pins](const QByteArray &der) {
            return !der.isEmpty() && pins.contains(der);
        };
        return std::all_of(serverCertificates.begin(), serverCertificates.end(), pinned);
    }
    default:
        return false;
    }
}
