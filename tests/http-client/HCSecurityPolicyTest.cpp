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
// chain checks off or allow invalid certificates. A row is refused unless it says it is trusted.
struct Row {
    const char *what;
    bool trusted = false;
    std::optional<Certs> pins = std::nullopt;
    int options = 0;
    Certs chain = kSent;
    QString host = u"device.test"_s;
};

void expectRows(HCSSLPinningMode mode, const std::vector<Row> &rows)
{
    ASSERT_TRUE(pki().certificate(Root));
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.what) + ", mode " + std::to_string(int(mode)));
        HCSecurityPolicy policy;
        policy.setSSLPinningMode(mode);
        policy.setPinnedCertificates(pinsOf(row.pins));
        policy.setValidatesDomainName(!(row.options & NoName));
        policy.setValidatesCertificateChain(!(row.options & NoChain));
        policy.setAllowInvalidCertificates(row.options & AllowInvalid);
        zek::ServerTrust trust(chainOf(row.chain));
        EXPECT_EQ(policy.evaluateServerTrust(trust, row.host), row.trusted);
    }
}

TEST(HCSecurityPolicyTest, EvaluatesServerTrustInEachPinningMode)
{
    // Without pinning: what the trust store and the host name allow.
    const QString other = u"other.test"_s, address = u"127.0.0.1"_s;
    const Certs addressLeaf{AddressLeaf, Intermediate}, all{Root, Intermediate, HostLeaf};
    expectRows(
        HCSSLPinningModeNone,
        {
            {.what = "valid chain for its host", .trusted = true},
            {.what = "same chain for another host", .host = other},
            {.what = "name not validated", .trusted = true, .options = NoName, .host = other},
            {.what = "no host name to check", .trusted = true, .host = QString()},
            {.what = "address leaf for its address",
             .trusted = true,
             .chain = addressLeaf,
             .host = address},
            {.what = "address leaf for another address",
             .chain = addressLeaf,
             .host = u"127.0.0.2"_s},
            {.what = "an address is no DNS name", .host = address},
            {.what = "leaf without the intermediate", .chain = Certs{HostLeaf}},
            {.what = "self-signed leaf", .chain = kSelf},
            {.what = "self-signed leaf, invalid allowed",
             .trusted = true,
             .options = AllowInvalid,
             .chain = kSelf},
            {.what = "no certificates, invalid allowed",
             .trusted = true,
             .options = AllowInvalid,
             .chain = {}},
        });

    // Public keys: those of the chain as evaluated, leaf, intermediate and root, though the peer
    // sends two.
    expectRows(HCSSLPinningModePublicKey,
               {
                   {.what = "leaf key, chain not validated",
                    .trusted = true,
                    .pins = Certs{OtherRoot, HostLeaf},
                    .options = NoChain},
                   {.what = "only the intermediate's key, chain not validated",
                    .pins = Certs{Intermediate, Root},
                    .options = NoChain},
                   {.what = "every key of the chain", .trusted = true, .pins = all},
                   {.what = "the keys the peer sent, not the root's", .pins = kSent},
                   {.what = "a key pinned twice counts twice",
                    .trusted = true,
                    .pins = Certs{HostLeaf, HostLeaf, Intermediate}},
                   {.what = "every key, for another host", .pins = all, .host = other},
                   {.what = "no pins"},
                   {.what = "no pins, chain not validated", .pins = Certs{}, .options = NoChain},
                   {.what = "self-signed leaf pinned", .pins = kSelf, .chain = kSelf},
                   {.what = "self-signed leaf pinned, invalid allowed",
                    .trusted = true,
                    .pins = kSelf,
                    .options = AllowInvalid,
                    .chain = kSelf},
               });

    // Certificates: the chain is anchored at the pins alone.
    expectRows(HCSSLPinningModeCertificate,
               {
                   {.what = "only the root, chain not validated",
                    .trusted = true,
                    .pins = Certs{Root},
                    .options = NoChain},
                   {.what = "an unparsable pin beside the root, chain not validated",
                    .trusted = true,
                    .pins = Certs{NotACertificate, Root},
                    .options = NoChain},
                   {.what = "only the intermediate, chain not validated",
                    .trusted = true,
                    .pins = Certs{Intermediate},
                    .options = NoChain},
                   {.what = "two of the three, the root not among them",
                    .pins = Certs{HostLeaf, Intermediate}},
                   {.what = "two of the three", .pins = Certs{HostLeaf, Root}},
                   {.what = "all three", .trusted = true, .pins = all},
                   {.what = "a stray certificate from the peer is not in the chain",
                    .trusted = true,
                    .pins = Certs{HostLeaf, Intermediate, Root},
                    .chain = Certs{HostLeaf, Intermediate, OtherRoot}},
                   {.what = "no pins"},
                   {.what = "no pins, chain not validated", .pins = Certs{}, .options = NoChain},
                   {.what = "self-signed leaf pinned", .pins = kSelf, .chain = kSelf},
                   {.what = "self-signed leaf pinned, invalid allowed",
                    .trusted = true,
                    .pins = kSelf,
                    .options = AllowInvalid,
                    .chain = kSelf},
                   {.what = "invalid allowed, pinned to another root",
                    .pins = Certs{OtherRoot},
                    .options = NoChain | AllowInvalid,
                    .chain = kSelf},
               });

    // An unknown mode refuses every chain.
    expectRows(HCSSLPinningMode(3), {{.what = "mode 3", .pins = all, .options = AllowInvalid}});
}

TEST(HCSecurityPolicyTest, PinnedPublicKeysAreDerivedFromEachSettingOfTheCertificates)
{
    const struct {
        const char *what;
        std::optional<Certs> pins = {};
        std::optional<std::vector<std::string>> keys = {};
    } rows[] = {
        {.what = "no pins"},
        {.what = "no certificates", .pins = Certs{}, .keys = std::vector<std::string>{}},
        {.what = "unparsable entry dropped, order kept",
         .pins = Certs{Intermediate, NotACertificate, HostLeaf, Intermediate},
         .keys = std::vector<std::string>{"intermediate", "host leaf", "intermediate"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
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
        EXPECT_EQ(keys, row.keys);
        EXPECT_EQ(policy.pinnedCertificates(), pinsOf(row.pins));
    }
}

// The first call in the process reads the files; later ones keep its answer.
TEST(HCSecurityPolicyTest, DefaultPinnedCertificatesAreReadFromTheDataDirectoriesOnce)
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
