#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Certificates made by the openssl command for one test run, each a PEM
// certificate and its key in a temporary directory, with P-256 keys valid for
// 30 days. Extensions: "ca" (a certificate authority), "host" (a TLS server
// named device.test, which also lists 127.0.0.1 as a DNS name, not as an
// address) and "address" (a TLS server for the address 127.0.0.1).
class TestPKI {
public:
    TestPKI();

    // Makes the certificate `name` for the common name, signed by `issuer`
    // (made before) or, without one, by itself.
    void make(const QString &name, const QString &commonName, const QString &extensions,
              const QString &issuer = QString());

    // The directory the files are in, which the test may use for its own.
    QString path() const { return directory_.path(); }
    QString certificatePath(const QString &name) const;
    QString keyPath(const QString &name) const;
    // The key of `name` in PEM, as the openssl command exports it.
    QByteArray publicKeyPEM(const QString &name) const;
    // A file of these certificates one after the other, as a server sends its chain.
    QString chainPath(const QStringList &names) const;

    // The system trust store becomes `root` alone. Must come before the first
    // trust evaluation in the process, which reads it once.
    void trustOnly(const QString &root) const;

private:
    QTemporaryDir directory_;
};
