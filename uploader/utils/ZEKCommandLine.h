#pragma once

#include <QCommandLineParser>
#include <QString>
#include <optional>

// The command line as every tool answers it: --help and --version on standard output with
// status 0, wrong usage on standard error with a pointer to --help and status 2. Call after the
// QCoreApplication is made.
namespace ZEKCommandLine {

// Names the tool and its version, and gives the parser its description, --help and --version.
void prepare(QCommandLineParser &parser, const QString &tool, const QString &description);
// Parses the process's arguments. Nothing when the tool goes on; otherwise the status to end
// with, after --help or --version was answered or the wrong usage told.
std::optional<int> process(QCommandLineParser &parser);
// Tells of a wrong usage; returns 2.
int wrongUsage(const QString &message);
// Writes text to a standard stream, as the locale encodes it.
void print(FILE *stream, const QString &text);

} // namespace ZEKCommandLine
