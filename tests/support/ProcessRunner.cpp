#include "ProcessRunner.h"

#include <QProcess>

ProcessResult runProcess(const QString &program, const QStringList &arguments,
                         const QByteArray &input, int timeoutMs)
{
    QProcess process;
    process.start(program, arguments);
    ProcessResult result;
    if (!process.waitForStarted(timeoutMs)) {
        result.standardError = process.errorString().toUtf8();
        return result;
    }
    process.write(input);
    process.closeWriteChannel();
    const bool finished = process.waitForFinished(timeoutMs);
    if (!finished) {
        process.kill();
        process.waitForFinished();
    }
    if (finished && process.exitStatus() == QProcess::NormalExit) {
        result.exitCode = process.exitCode();
    }
    result.standardOutput = process.readAllStandardOutput();
    result.standardError = process.readAllStandardError();
    return result;
}
