#include "StreamReading.h"

std::optional<QByteArray> readToEnd(zek::InputStream &stream, quint64 capacity)
{
    QByteArray bytes;
    QByteArray buffer(static_cast<qsizetype>(capacity), Qt::Uninitialized);
    for (;;) {
        const qint64 count = stream.read(buffer.data(), capacity);
        if (count < 0) {
            return std::nullopt;
        }
        if (count == 0) {
            return bytes;
        }
        bytes.append(buffer.constData(), count);
    }
}

std::optional<QByteArray> readWholeStream(zek::InputStream &stream, quint64 capacity)
{
    stream.open();
    auto bytes = readToEnd(stream, capacity);
    stream.close();
    return bytes;
}
