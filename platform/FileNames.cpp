#include "FileNames.h"

#include <QList>

using namespace Qt::StringLiterals;

namespace zek {

QByteArray localPath(const QUrl &file)
{
    if (!file.isLocalFile()) {
        return {};
    }
    return QByteArray::fromPercentEncoding(file.path(QUrl::FullyEncoded).toLatin1());
}

QUrl fileURL(const QByteArray &path)
{
    // What QUrl must not take as a delimiter is escaped; a valid UTF-8 name decodes as usual.
    return QUrl::fromEncoded("file://" + path.toPercentEncoding("/"), QUrl::StrictMode);
}

QByteArray standardPath(const QByteArray &path, const QByteArray &base)
{
    const QByteArray absolute = path.startsWith('/') ? path : base + '/' + path;
    QList<QByteArray> steps;
    for (const QByteArray &step : absolute.split('/')) {
        if (step.isEmpty() || step == ".") {
            continue;
        }
        if (step == "..") {
            if (!steps.isEmpty()) {
                steps.removeLast();
            }
            continue;
        }
        steps.append(step);
    }
    QByteArray standard;
    for (const QByteArray &step : std::as_const(steps)) {
        standard += '/' + step;
    }
    return standard.isEmpty() ? QByteArray("/") : standard;
}

QString displayPath(const QByteArray &path)
{
    return escapeControlCharacters(QString::fromUtf8(path));
}

QString escapeControlCharacters(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar character : text) {
        const char16_t code = character.unicode();
        if (code == u'\\') {
            escaped += u"\\\\"_s;
        } else if (code == u'\n') {
            escaped += u"\\n"_s;
        } else if (code == u'\t') {
            escaped += u"\\t"_s;
        } else if (code < 0x20 || code == 0x7f || (code >= 0x80 && code < 0xa0)) {
            escaped += u"\\x%1"_s.arg(uint(code), 2, 16, QLatin1Char('0'));
        } else {
            escaped += character;
        }
    }
    return escaped;
}

} // namespace zek
