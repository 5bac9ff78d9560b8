#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Runs a program to its end with the given bytes on standard input. A program that does not
// start, crashes or times out has exit code -1.
struct ProcessResult {
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;
};

ProcessResult runProcess(const QString &program, const QStringList &arguments,
                         const QByteArray &input = {}, int timeoutMs = 60000);
