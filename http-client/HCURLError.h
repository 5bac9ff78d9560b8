#pragma once

#include "Error.h"

#include <QString>
#include <QUrl>

// The errors of the HTTP client's transport, and the one way an error with a
// description is put together, which the rest of the program uses too.

// An error whose user information holds description and, unless failingURL is
// empty, failingURL under NSURLErrorFailingURLErrorKey.
zek::Error HCErrorWithDescription(const QString &domain, qint64 code, const QString &description,
                                  const QUrl &failingURL = QUrl());

// An error in NSURLErrorDomain about failingURL, described by description or,
// when that is null, by HCURLErrorDescription(code).
zek::Error HCURLErrorWithCode(qint64 code, const QUrl &failingURL,
                              const QString &description = QString());

// What an NSURLErrorDomain code means, in a sentence; "The request failed."
// for a code without a sentence of its own.
QString HCURLErrorDescription(qint64 code);

// The NSURLErrorDomain code for how a curl transfer ended (its CURLcode).
// connected tells whether a server was reached, after which an "unsupported
// protocol" means a reply that is not HTTP (an HTTP/0.9-looking one), not the
// URL's scheme.
qint64 HCURLErrorCodeForTransferResult(int transferResult, bool connected);
