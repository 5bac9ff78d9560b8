#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// File names are bytes: a name need not be UTF-8 (a job renamed by hand, a user name in a legacy
// encoding), and a name that went through text and back may name another file, or none. Paths
// stay bytes from the file system to the open and the delete, and travel in file URLs
// percent-encoded; only what people read is made text.
namespace zek {

// The exact bytes of a file URL's path; empty for anything but a local file URL.
QByteArray localPath(const QUrl &file);
// The file URL of these bytes, the same URL QUrl::fromLocalFile gives for a UTF-8 path.
QUrl fileURL(const QByteArray &path);

// Absolute, without "." and ".." steps, doubled or trailing slashes; a relative path is taken
// from `base`, which must be absolute.
QByteArray standardPath(const QByteArray &path, const QByteArray &base);

// A path, or any text from outside, for a log line or a terminal: bytes that are not UTF-8 show
// as replacement characters, and control characters are escaped (\n, \t, \\, \xHH for the
// rest), so that a name cannot split a line in two or reach the terminal as a command.
QString displayPath(const QByteArray &path);
QString escapeControlCharacters(const QString &text);

} // namespace zek
