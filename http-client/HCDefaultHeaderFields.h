#pragma once

#include <QString>
#include <QStringList>

// The values of the header fields that every request carries by default.

// "lang;q=1, lang;q=0.9, ...": the languages most preferred first, with q
// falling by 0.1 from 1, stopping after the entry with q=0.5, so at most six.
// Empty when no language is given.
QString HCAcceptLanguageFromPreferredLanguages(const QStringList &preferredLanguages);

// The user's languages as Qt reports them (from LANGUAGE, LC_ALL,
// LC_MESSAGES, LANG), most preferred first. The C locale, which Qt reports
// as "C", is not a language tag; its messages are English, so it counts as "en".
QStringList HCPreferredLanguages();

// "product/version (system release)", transliterated to ASCII (any script
// to Latin, Latin to ASCII, the rest removed) when it is not ASCII already.
QString HCUserAgentFromComponents(const QString &product, const QString &version,
                                  const QString &systemName, const QString &systemRelease);

// This application's agent, such as "ZEKUploader/1.0.0 (Linux 6.1.0-28-amd64)":
// the product's identity and the kernel's name and release.
QString HCDefaultUserAgent();
