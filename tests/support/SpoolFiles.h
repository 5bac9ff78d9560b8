#pragma once

#include <QByteArray>
#include <QString>

// Writes `data` to `path` (created or truncated). Fails the current test when it cannot.
void writeFile(const QString &path, const QByteArray &data);

// Finishes a job the way the backend does: writes "<stem>.~pdf" in `directory`, then renames it
// to "<stem>.pdf". Returns the final path.
QString finishJob(const QString &directory, const QString &stem,
                  const QByteArray &data = "%PDF-1.4\n%%EOF\n");
