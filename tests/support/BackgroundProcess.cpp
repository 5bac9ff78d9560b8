#include "BackgroundProcess.h"

#include <QDeadlineTimer>

BackgroundProcess::BackgroundProcess(const QString &program, const QStringList &arguments,
                                     const QString &workingDirectory)
{
    process_.setWorkingDirectory(workingDirectory);
    process_.start(program, arguments);
    process_.waitForStarted();
}

BackgroundProcess::~BackgroundProcess()
{
    process_.terminate();
    if (!process_.waitForFinished(10000)) {
        process_.kill();
        process_.waitForFinished();
    }
}

bool BackgroundProcess::waitForOutput(const QByteArray &text, int timeoutMs)
{
    return waitFor(text, output_, timeoutMs);
}

bool BackgroundProcess::waitForError(const QByteArray &text, int timeoutMs)
{
    return waitFor(text, error_, timeoutMs);
}

bool BackgroundProcess::waitFor(const QByteArray &text, const QByteArray &stream, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    collect();
    while (!stream.contains(text)) {
        if (deadline.hasExpired() || process_.state() == QProcess::NotRunning) {
            return false;
        }
        process_.waitForReadyRead(100);
        collect();
    }
    return true;
}

quint16 BackgroundProcess::announcedPort()
{
    const QByteArray first = waitForOutput("\n", 30000) ? output_.split('\n').value(0) : "";
    return first.startsWith("PORT ") ? quint16(first.mid(5).trimmed().toUInt()) : 0;
}

void BackgroundProcess::readMore(int timeoutMs)
{
    collect();
    process_.waitForReadyRead(timeoutMs);
    collect();
}

void BackgroundProcess::collect()
{
    output_ += process_.readAllStandardOutput();
    error_ += process_.readAllStandardError();
}
