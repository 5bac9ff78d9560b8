// The security policy against chains that the openssl command makes for each
// run: a root, an intermediate under it, leaves for a host name and for
// 127.0.0.1 under that, a self-signed leaf and an unrelated root. The system
// trust store is this run's root alone.

#include "HCSecurityPolicy.h"
#include "SpoolFiles.h"
#include "TestPKI.h"

#include <QDir>
#include <QFile>
#include <array>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <string>

using namespace Qt::StringLiterals;

namespace {

enum Cert { Root, Intermediate, HostLeaf, AddressLeaf, SelfSigned, OtherRoot, NotACertificate };
using Certs = std::vector<Cert>;

class Certificates {
public:
    Certificates()
    {
        struct Made {
            Cert cert;
            const char *name;
            const char *extensions;
            std::optional<Cert> issuer;
        };
        static const Made made[] = {
            {Root, "root", "ca", std::nullopt},
            {Intermediate, "intermediate", "ca", Root},
            {HostLeaf, "device.test", "host", Intermediate},
            {AddressLeaf, "address", "address", Intermediate},
            {SelfSigned, "device.test", "host", std::nullopt},
            {OtherRoot, "other root", "ca", std::nullopt},
        };
        for (const Made &m : made) {
            pki_.make(QString::number(m.cert), QString::fromUtf8(m.name),
                      QString::fromUtf8(m.extensions),
                      m.issuer ? QString::number(*m.issuer) : QString());
            certificates_[m.cert] = readPEM(pki_.certificatePath(QString::number(m.cert)));
            // The key as openssl itself exports it: what the policy's keys are
            // compared with.
            keys_[m.cert] = pki_.publicKeyPEM(QString::number(m.cert));
        }
        pki_.trustOnly(QString::number(Root));
    }

    QString path() const { return pki_.path(); }
    zek::Certificate certificate(Cert cert) const { return certificates_.at(cert); }
    QByteArray der(Cert cert) const
    {
        return cert == NotACertificate ? QByteArray("not a certificate")
                                       : zek::certificateData(certificates_.at(cert));
    }
    QByteArray keyPEM(Cert cert) const { return keys_.at(cert); }

private:
    static zek::Certificate readPEM(const QString &path)
    {
        const QByteArray pem = readFile(path.toStdString());
        BIO *bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
        X509 *certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
        return zek::Certificate(certificate, X509_free);
    }

    TestPKI pki_;
    std::array<zek::Certificate, NotACertificate> certificates_;
    std::array<QByteArray, NotACertificate> keys_;
};

// Made once per process, before any evaluation.
const Certificates &pki()
{
    static const Certificates made;
    return made;
}

// Names the certificates (or keys) in items, for comparisons that read well.
std::vector<std::string> namesOf(const QList<QByteArray> &items, bool keys = false)
{
    static const char *const names[] = {"root",         "intermediate", "host leaf",
                                        "address leaf", "self-signed",  "other root"};
    std::vector<std::string> named;
    for (const QByteArray &item : items) {
        std::string name = "unknown";
        for (int cert = Root; cert < NotACertificate; ++cert) {
            if (item == (keys ? pki().keyPEM(Cert(cert)) : pki().der(Cert(cert)))) {
                name = names[cert];
            }
        }
        named.push_back(name);
    }
    return named;
}

std::vector<zek::Certificate> chainOf(const std::vector<Cert> &certs)
{
    std::vector<zek::Certificate> chain;
    for (Cert cert : certs) {
        chain.push_back(pki().certificate(cert));
    }
    return chain;
}

std::optional<QList<QByteArray>> pinsOf(const std::optional<std::vector<Cert>> &certs)
{
    if (!certs) {
        return std::nullopt;
    }
    QList<QByteArray> pins;
    for (Cert cert : *certs) {
        pins.append(pki().der(cert));
    }
    return pins;
}

enum Option { NoName = 1, NoChain = 2, AllowInvalid = 4 };
const Certs kSent{HostLeaf, Intermediate}, kSelf{SelfSigned};

// One evaluation: the peer sends chain, the connection is to host. Options switch the name and
// chain checks off or allow invalid certificates.
struct Row {
    const char *what;
    bool trusted;
    std::optional<Certs> pins = std::nullopt;
    int options = 0;
    Certs chain = kSent;
    QString host = u"device.test"_s;
};

void expectRows(HCSSLPinningMode mode, const std::vector<Row> &rows)
{
    ASSERT_TRUE(pki().certificate(Root));
    for (const Row &row : rows) {
        HCSecurityPolicy policy;
        policy.setSSLPinningMode(mode);
        policy.setPinnedCertificates(pinsOf(row.pins));
        policy.setValidatesDomainName(!(row.options & NoName));
        policy.setValidatesCertificateChain(!(row.options & NoChain));
        policy.setAllowInvalidCertificates(row.options & AllowInvalid);
        zek::ServerTrust trust(chainOf(row.chain));
        EXPECT_EQ(policy.evaluateServerTrust(trust, row.host), row.trusted)
            << row.what << ", mode " << mode;
    }
}

TEST(SecurityPolicy, EvaluatesServerTrustInEachPinningMode)
{
    // Without pinning: what the trust store and the host name allow.
    const QString other = u"other.test"_s, address = u"127.0.0.1"_s;
    const Certs addressLeaf{AddressLeaf, Intermediate}, all{Root, Intermediate, HostLeaf};
    expectRows(HCSSLPinningModeNone,
               {
                   {"valid chain for its host", true},
                   {"same chain for another host", false, {}, 0, kSent, other},
                   {"name not validated", true, {}, NoName, kSent, other},
                   {"no host name to check", true, {}, 0, kSent, QString()},
                   {"address leaf for its address", true, {}, 0, addressLeaf, address},
                   {"address leaf for another address", false, {}, 0, addressLeaf, u"127.0.0.2"_s},
                   {"an address is no DNS name", false, {}, 0, kSent, address},
                   {"leaf without the intermediate", false, {}, 0, Certs{HostLeaf}},
                   {"self-signed leaf", false, {}, 0, kSelf},
                   {"self-signed leaf, invalid allowed", true, {}, AllowInvalid, kSelf},
                   {"no certificates, invalid allowed", true, {}, AllowInvalid, {}},
               });

    // Public keys: those of the chain as evaluated, leaf, intermediate and root, though the peer
    // sends two.
    expectRows(
        HCSSLPinningModePublicKey,
        {
            {"leaf key, chain not validated", true, Certs{OtherRoot, HostLeaf}, NoChain},
            {"only the intermediate's key, chain not validated", false, Certs{Intermediate, Root},
             NoChain},
            {"every key of the chain", true, all},
            {"the keys the peer sent, not the root's", false, kSent},
            {"a key pinned twice counts twice", true, Certs{HostLeaf, HostLeaf, Intermediate}},
            {"every key, for another host", false, all, 0, kSent, other},
            {"no pins", false},
            {"no pins, chain not validated", false, Certs{}, NoChain},
            {"self-signed leaf pinned", false, kSelf, 0, kSelf},
            {"self-signed leaf pinned, invalid allowed", true, kSelf, AllowInvalid, kSelf},
        });

    // Certificates: the chain is anchored at the pins alone.
    expectRows(
        HCSSLPinningModeCertificate,
        {
            {"only the root, chain not validated", true, Certs{Root}, NoChain},
            {"an unparsable pin beside the root, chain not validated", true,
             Certs{NotACertificate, Root}, NoChain},
            {"only the intermediate, chain not validated", true, Certs{Intermediate}, NoChain},
            {"two of the three, the root not among them", false, Certs{HostLeaf, Intermediate}},
            {"two of the three", false, Certs{HostLeaf, Root}},
            {"all three", true, all},
            {"a stray certificate from the peer is not in the chain", true,
             Certs{HostLeaf, Intermediate, Root}, 0, Certs{HostLeaf, Intermediate, OtherRoot}},
            {"no pins", false},
            {"no pins, chain not validated", false, Certs{}, NoChain},
            {"self-signed leaf pinned", false, kSelf, 0, kSelf},
            {"self-signed leaf pinned, invalid allowed", true, kSelf, AllowInvalid, kSelf},
            {"invalid allowed, pinned to another root", false, Certs{OtherRoot},
             NoChain | AllowInvalid, kSelf},
        });

    // An unknown mode refuses every chain.
    expectRows(HCSSLPinningMode(3), {{"mode 3", false, all, AllowInvalid}});
}

TEST(SecurityPolicyPinnedPublicKeys, AreDerivedFromEachSettingOfTheCertificates)
{
    const struct {
        const char *what;
        std::optional<Certs> pins;
        std::optional<std::vector<std::string>> keys;
    } rows[] = {
        {"no pins", std::nullopt, std::nullopt},
        {"no certificates", Certs{}, std::vector<std::string>{}},
        {"unparsable entry dropped, order kept",
         Certs{Intermediate, NotACertificate, HostLeaf, Intermediate},
         std::vector<std::string>{"intermediate", "host leaf", "intermediate"}},
    };
    for (const auto &row : rows) {
        HCSecurityPolicy policy;
        // Set twice: the second setting must replace what the first derived.
        policy.setPinnedCertificates(pinsOf(Certs{SelfSigned}));
        policy.setPinnedCertificates(pinsOf(row.pins));
        std::optional<std::vector<std::string>> keys;
        if (policy.pinnedPublicKeys()) {
            QList<QByteArray> exported;
            for (const zek::PublicKey &key : *policy.pinnedPublicKeys()) {
                exported.append(zek::publicKeyPEM(key));
            }
            keys = namesOf(exported, true);
        }
        EXPECT_EQ(keys, row.keys) << row.what;
        EXPECT_EQ(policy.pinnedCertificates(), pinsOf(row.pins)) << row.what;
    }
}

// The first call in the process reads the files; later ones keep its answer.
TEST(SecurityPolicyDefaultPinnedCertificates, ReadsTheDataDirectoriesOnce)
{
    const QString root = pki().path() + u"/data"_s;
    const QString home = root + u"/home/ZEK/ZEKUploader/"_s;
    const QString shared = root + u"/shared/ZEK/ZEKUploader/"_s;
    const QString later = root + u"/later/ZEK/ZEKUploader/"_s;
    for (const QString &dir : {home, shared, later}) {
        ASSERT_TRUE(QDir().mkpath(dir));
    }
    ASSERT_TRUE(QDir().mkpath(shared + u"folder.cer"_s));
    writeFile(home + u"leaf.cer"_s, pki().der(HostLeaf));
    writeFile(shared + u"b.cer"_s, pki().der(Root));
    writeFile(shared + u"a.cer"_s, pki().der(Intermediate));
    writeFile(shared + u"c.pem"_s, pki().der(OtherRoot));
    qputenv("XDG_DATA_HOME", QFile::encodeName(root + u"/home"_s));
    qputenv("XDG_DATA_DIRS", QFile::encodeName(root + u"/shared:"_s + root + u"/later"_s));

    const std::vector<std::string> expected{"host leaf", "intermediate", "root"};
    EXPECT_EQ(namesOf(HCSecurityPolicy::defaultPinnedCertificates()), expected);

    writeFile(later + u"e.cer"_s, pki().der(SelfSigned));
    ASSERT_TRUE(QFile::remove(home + u"leaf.cer"_s));
    EXPECT_EQ(namesOf(HCSecurityPolicy::defaultPinnedCertificates()), expected);

    const auto policy = HCSecurityPolicy::policyWithPinningMode(HCSSLPinningModeCertificate);
    EXPECT_EQ(policy->SSLPinningMode(), HCSSLPinningModeCertificate);
    EXPECT_EQ(policy->pinnedCertificates(), HCSecurityPolicy::defaultPinnedCertificates());
    ASSERT_TRUE(policy->pinnedPublicKeys());
    EXPECT_EQ(policy->pinnedPublicKeys()->size(), 3);
}

} // namespace
