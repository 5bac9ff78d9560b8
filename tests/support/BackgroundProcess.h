#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// A program that runs beside the test until the test ends it (or this object goes away), with
// its standard output and standard error read as they come.
class BackgroundProcess {
public:
    // Starts in `workingDirectory` when one is given, else in the test's own.
    BackgroundProcess(const QString &program, const QStringList &arguments,
                      const QString &workingDirectory = QString());
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess &) = delete;
    BackgroundProcess &operator=(const BackgroundProcess &) = delete;

    // Wait until the output so far contains `text`; false when the deadline passes or the
    // program ends first.
    bool waitForOutput(const QByteArray &text, int timeoutMs = 60000);
    bool waitForError(const QByteArray &text, int timeoutMs = 60000);

    // The port of a server that announces it as "PORT <n>" on its first line; 0 when none comes.
    quint16 announcedPort();

    // Takes in what the program has printed, waiting up to timeoutMs for something new.
    void readMore(int timeoutMs);

    qint64 processId() const { return process_.processId(); }
    const QByteArray &output() const { return output_; }
    const QByteArray &error() const { return error_; }

private:
    bool waitFor(const QByteArray &text, const QByteArray &stream, int timeoutMs);
    void collect();

    QProcess process_;
    QByteArray output_;
    QByteArray error_;
};
