// The security policy against chains that the openssl command makes for each
// run: a root, an intermediate under it, leaves for a host name and for
// 127.0.0.1 under that, a self-signed leaf and an unrelated root. The system
// trust store is this run's root alone.

#include "HCSecurityPolicy.h"
#include "ProcessRunner.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <array>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <string>

using namespace Qt::StringLiterals;

namespace {

enum Cert { Root, Intermediate, HostLeaf, AddressLeaf, SelfSigned, OtherRoot, NotACertificate };
using Certs = std::vector<Cert>;

// The host leaf also names 127.0.0.1 as a DNS name, which must not make it a
// certificate for that address.
constexpr const char *kOpenSSLConfig = R"([req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
[host]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:device.test, DNS:127.0.0.1
[address]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1
)";

void writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    ASSERT_EQ(file.write(contents), contents.size());
}

QByteArray runOpenSSL(const QStringList &arguments)
{
    const ProcessResult result = runProcess(QStringLiteral(ZEK_OPENSSL), arguments);
    EXPECT_EQ(result.exitCode, 0) << result.standardError.toStdString();
    return result.standardOutput;
}

class TestPKI {
public:
    TestPKI()
    {
        const QString dir = directory_.path();
        writeFile(dir + u"/openssl.cnf"_s, kOpenSSLConfig);
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
            const QString base = dir + u'/' + QString::number(m.cert);
            QStringList arguments{u"req"_s,
                                  u"-x509"_s,
                                  u"-newkey"_s,
                                  u"ec"_s,
                                  u"-pkeyopt"_s,
                                  u"ec_paramgen_curve:P-256"_s,
                                  u"-nodes"_s,
                                  u"-days"_s,
                                  u"30"_s,
                                  u"-config"_s,
                                  dir + u"/openssl.cnf"_s,
                                  u"-extensions"_s,
                                  QString::fromUtf8(m.extensions),
                                  u"-subj"_s,
                                  u"/CN="_s + QString::fromUtf8(m.name),
                                  u"-keyout"_s,
                                  base + u".key"_s,
                                  u"-out"_s,
                                  base + u".pem"_s};
            if (m.issuer) {
                const QString issuer = dir + u'/' + QString::number(*m.issuer);
                arguments << u"-CA"_s << issuer + u".pem"_s << u"-CAkey"_s << issuer + u".key"_s;
            }
            runOpenSSL(arguments);
            certificates_[m.cert] = readPEM(base + u".pem"_s);
            // The key as openssl itself exports it: what the policy's keys are
            // compared with.
            keys_[m.cert] = runOpenSSL({u"pkey"_s, u"-in"_s, base + u".key"_s, u"-pubout"_s});
        }
        // The trust store must be chosen before the first evaluation reads it.
        qputenv("SSL_CERT_FILE", QFile::encodeName(dir + u'/' + QString::number(Root) + u".pem"_s));
        qputenv("SSL_CERT_DIR", QFile::encodeName(dir + u"/no-such-directory"_s));
    }

    QString path() const { return directory_.path(); }
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
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        const QByteArray pem = file.readAll();
        BIO *bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
        X509 *certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
        return zek::Certificate(certificate, X509_free);
    }

    QTemporaryDir directory_;
    std::array<zek::Certificate, NotACertificate> certificates_;
    std::array<QByteArray, NotACertificate> keys_;
};

// Made once per process, before any evaluation.
const TestPKI &pki()
{
    static const TestPKI made;
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

// One evaluation: the peer sends chain, the connection is to host.
struct Row {
    const char *what;
    Certs chain = {HostLeaf, Intermediate};
    QString host = u"device.test"_s;
    std::optional<Certs> pins = std::nullopt;
    bool validatesDomainName = true;
    bool validatesCertificateChain = true;
    bool allowInvalidCertificates = false;
    bool trusted;
};

void expectRows(HCSSLPinningMode mode, const std::vector<Row> &rows)
{
    ASSERT_TRUE(pki().certificate(Root));
    for (const Row &row : rows) {
        HCSecurityPolicy policy;
        policy.setSSLPinningMode(mode);
        policy.setPinnedCertificates(pinsOf(row.pins));
        policy.setValidatesDomainName(row.validatesDomainName);
        policy.setValidatesCertificateChain(row.validatesCertificateChain);
        policy.setAllowInvalidCertificates(row.allowInvalidCertificates);
        zek::ServerTrust trust(chainOf(row.chain));
        EXPECT_EQ(policy.evaluateServerTrust(trust, row.host), row.trusted) << row.what;
    }
}

TEST(SecurityPolicyNoPinning, TrustsWhatTheTrustStoreAndTheHostNameAllow)
{
    expectRows(
        HCSSLPinningModeNone,
        {
            {.what = "valid chain for its host", .trusted = true},
            {.what = "same chain for another host", .host = u"other.test"_s, .trusted = false},
            {.what = "name not validated",
             .host = u"other.test"_s,
             .validatesDomainName = false,
             .trusted = true},
            {.what = "no host name to check", .host = QString(), .trusted = true},
            {.what = "address leaf for its address",
             .chain = {AddressLeaf, Intermediate},
             .host = u"127.0.0.1"_s,
             .trusted = true},
            {.what = "address leaf for another address",
             .chain = {AddressLeaf, Intermediate},
             .host = u"127.0.0.2"_s,
             .trusted = false},
            {.what = "an address is no DNS name", .host = u"127.0.0.1"_s, .trusted = false},
            {.what = "leaf without the intermediate", .chain = {HostLeaf}, .trusted = false},
            {.what = "self-signed leaf", .chain = {SelfSigned}, .trusted = false},
            {.what = "self-signed leaf, invalid allowed",
             .chain = {SelfSigned},
             .allowInvalidCertificates = true,
             .trusted = true},
            {.what = "no certificates, invalid allowed",
             .chain = {},
             .allowInvalidCertificates = true,
             .trusted = true},
        });
}

// The chain as evaluated is leaf, intermediate, root: three certificates,
// though the peer sends two.
TEST(SecurityPolicyPublicKeyPinning, MatchesKeysOfTheEvaluatedChain)
{
    expectRows(HCSSLPinningModePublicKey,
               {
                   {.what = "leaf key, chain not validated",
                    .pins = Certs{OtherRoot, HostLeaf},
                    .validatesCertificateChain = false,
                    .trusted = true},
                   {.what = "only the intermediate's key, chain not validated",
                    .pins = Certs{Intermediate, Root},
                    .validatesCertificateChain = false,
                    .trusted = false},
                   {.what = "every key of the chain",
                    .pins = Certs{Root, Intermediate, HostLeaf},
                    .trusted = true},
                   {.what = "the keys the peer sent, not the root's",
                    .pins = Certs{HostLeaf, Intermediate},
                    .trusted = false},
                   {.what = "a key pinned twice counts twice",
                    .pins = Certs{HostLeaf, HostLeaf, Intermediate},
                    .trusted = true},
                   {.what = "every key, for another host",
                    .host = u"other.test"_s,
                    .pins = Certs{Root, Intermediate, HostLeaf},
                    .trusted = false},
                   {.what = "no pins", .trusted = false},
                   {.what = "no pins, chain not validated",
                    .pins = Certs{},
                    .validatesCertificateChain = false,
                    .trusted = false},
                   {.what = "self-signed leaf pinned",
                    .chain = {SelfSigned},
                    .pins = Certs{SelfSigned},
                    .trusted = false},
                   {.what = "self-signed leaf pinned, invalid allowed",
                    .chain = {SelfSigned},
                    .pins = Certs{SelfSigned},
                    .allowInvalidCertificates = true,
                    .trusted = true},
               });
}

TEST(SecurityPolicyCertificatePinning, AnchorsTheChainAtThePinsAlone)
{
    expectRows(
        HCSSLPinningModeCertificate,
        {
            {.what = "only the root, chain not validated",
             .pins = Certs{Root},
             .validatesCertificateChain = false,
             .trusted = true},
            {.what = "an unparsable pin beside the root, chain not validated",
             .pins = Certs{NotACertificate, Root},
             .validatesCertificateChain = false,
             .trusted = true},
            {.what = "two of the three", .pins = Certs{HostLeaf, Root}, .trusted = false},
            {.what = "all three", .pins = Certs{Root, Intermediate, HostLeaf}, .trusted = true},
            {.what = "a stray certificate from the peer is not in the chain",
             .chain = {HostLeaf, Intermediate, OtherRoot},
             .pins = Certs{HostLeaf, Intermediate, Root},
             .trusted = true},
            {.what = "no pins", .trusted = false},
            {.what = "no pins, chain not validated",
             .pins = Certs{},
             .validatesCertificateChain = false,
             .trusted = false},
            {.what = "self-signed leaf pinned",
             .chain = {SelfSigned},
             .pins = Certs{SelfSigned},
             .trusted = false},
            {.what = "self-signed leaf pinned, invalid allowed",
             .chain = {SelfSigned},
             .pins = Certs{SelfSigned},
             .allowInvalidCertificates = true,
             .trusted = true},
            {.what = "invalid allowed, pinned to another root",
             .chain = {SelfSigned},
             .pins = Certs{OtherRoot},
             .validatesCertificateChain = false,
             .allowInvalidCertificates = true,
             .trusted = false},
        });
}

TEST(SecurityPolicyUnknownPinning, RefusesEveryChain)
{
    expectRows(HCSSLPinningMode(3), {
                                        {.what = "mode 3",
                                         .pins = Certs{Root, Intermediate, HostLeaf},
                                         .allowInvalidCertificates = true,
                                         .trusted = false},
                                    });
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
