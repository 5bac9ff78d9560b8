#pragma once

#include <QByteArray>
#include <QString>

namespace zek::avahi_names {

// Avahi writes domains and host names without the final dot that the rest of
// the program expects ("local", "hosta.local"), and takes them either way.
inline QString withTrailingDot(const char *name)
{
    QString text = QString::fromUtf8(name);
    if (!text.endsWith(u'.')) {
        text += u'.';
    }
    return text;
}

inline QByteArray withoutTrailingDot(const QString &name)
{
    QByteArray bytes = name.toUtf8();
    if (bytes.size() > 1 && bytes.endsWith('.')) {
        bytes.chop(1);
    }
    return bytes;
}

} // namespace zek::avahi_names
