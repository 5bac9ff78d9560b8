#pragma once

#include <QByteArray>
#include <QString>
#include <string>
#include <sys/stat.h>

// Writes `data` to `path` (created or truncated). Fails the current test when it cannot.
void writeFile(const QString &path, const QByteArray &data);
void writeFile(const std::string &path, const QByteArray &data);

// The whole file; empty when it cannot be read.
QByteArray readFile(const std::string &path);

// The item itself, links not followed. Fails the current test when it is missing.
struct stat statOf(const std::string &path);

// Finishes a job the way the backend does: writes "<stem>.~pdf" in `directory`, then renames it
// to "<stem>.pdf". Returns the final path.
QString finishJob(const QString &directory, const QString &stem,
                  const QByteArray &data = "%PDF-1.4\n%%EOF\n");
// The same with names as bytes, which need not be UTF-8.
QByteArray finishJob(const QByteArray &directory, const QByteArray &stem,
                     const QByteArray &data = "%PDF-1.4\n%%EOF\n");
