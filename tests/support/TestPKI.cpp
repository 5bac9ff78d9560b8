#include "TestPKI.h"

#include "ProcessRunner.h"
#include "SpoolFiles.h"

#include <QFile>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

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

} // namespace

TestPKI::TestPKI()
{
    writeFile(directory_.filePath(u"openssl.cnf"_s), kOpenSSLConfig);
}

void TestPKI::make(const QString &name, const QString &commonName, const QString &extensions,
                   const QString &issuer)
{
    QStringList arguments =
        u"req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30"_s.split(u' ');
    arguments << u"-config"_s << directory_.filePath(u"openssl.cnf"_s) << u"-extensions"_s
              << extensions << u"-subj"_s << u"/CN="_s + commonName << u"-keyout"_s << keyPath(name)
              << u"-out"_s << certificatePath(name);
    if (!issuer.isEmpty()) {
        arguments << u"-CA"_s << certificatePath(issuer) << u"-CAkey"_s << keyPath(issuer);
    }
    const ProcessResult result = runProcess(QStringLiteral(ZEK_OPENSSL), arguments);
    EXPECT_EQ(result.exitCode, 0) << result.standardError.toStdString();
}

QString TestPKI::certificatePath(const QString &name) const
{
    return directory_.filePath(name + u".pem"_s);
}

QString TestPKI::keyPath(const QString &name) const
{
    return directory_.filePath(name + u".key"_s);
}

QByteArray TestPKI::publicKeyPEM(const QString &name) const
{
    const ProcessResult result =
        runProcess(QStringLiteral(ZEK_OPENSSL), {u"pkey"_s, u"-in"_s, keyPath(name), u"-pubout"_s});
    EXPECT_EQ(result.exitCode, 0) << result.standardError.toStdString();
    return result.standardOutput;
}

QString TestPKI::chainPath(const QStringList &names) const
{
    QByteArray chain;
    for (const QString &name : names) {
        chain += readFile(certificatePath(name).toStdString());
    }
    const QString path = directory_.filePath(names.join(u'+') + u".chain"_s);
    writeFile(path, chain);
    return path;
}

void TestPKI::trustOnly(const QString &root) const
{
    qputenv("SSL_CERT_FILE", QFile::encodeName(certificatePath(root)));
    qputenv("SSL_CERT_DIR", QFile::encodeName(directory_.filePath(u"no-such-directory"_s)));
}
