#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// What the transport needs to know of HTTP itself.

// Whether a request with this method has the same effect sent once or twice.
bool HCIsIdempotentMethod(const QByteArray &method);

// Whether a reply with this status sends the request elsewhere (301, 302,
// 303, 307, 308).
bool HCIsRedirectStatus(long status);

bool HCIsHTTPS(const QUrl &URL);
// URL's port, or its scheme's own (443 for https, 80 otherwise) for none.
int HCPortOf(const QUrl &URL);
// Scheme, host and port alike, with the scheme's own port for none.
bool HCIsSameOrigin(const QUrl &one, const QUrl &other);

// Whether a header field proves who the client is (Authorization, Cookie):
// only the origin it was meant for may see it.
bool HCIsCredentialHeaderField(const QString &name);
