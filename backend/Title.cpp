#include "Title.h"

namespace {

constexpr qsizetype kMaximumTitleLength = 64;
// A job identifier from the printing system is a number; anything longer than
// this is cut, so that with the longest title (three UTF-8 bytes per code
// unit) "job_<id> <title>.~pdf" stays within the 255 bytes of a file name.
constexpr qsizetype kMaximumIdentifierLength = 16;

bool isNewline(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 0x000A && u <= 0x000D) || u == 0x0085 || u == 0x2028 || u == 0x2029;
}

// Per code unit: a surrogate is of category Cs, never punctuation.
bool isPunctuation(QChar c)
{
    return c.isPunct();
}

bool isSpace(QChar c)
{
    return c == u' ';
}

template <typename Predicate> QString trimmed(const QString &text, Predicate matches)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && matches(text.at(begin))) {
        ++begin;
    }
    while (end > begin && matches(text.at(end - 1))) {
        --end;
    }
    return text.sliced(begin, end - begin);
}

// Keeps what follows the last occurrence of the separator, if there is one.
QString afterLast(const QString &text, QChar separator)
{
    const qsizetype at = text.lastIndexOf(separator);
    return at < 0 ? text : text.sliced(at + 1);
}

// Keeps what precedes the last occurrence of the separator, if there is one.
QString beforeLast(const QString &text, QChar separator)
{
    const qsizetype at = text.lastIndexOf(separator);
    return at < 0 ? text : text.first(at);
}

// Cuts to at most length code units, never between the halves of a pair.
QString cut(QString text, qsizetype length)
{
    if (text.size() > length) {
        text.truncate(length);
        if (text.back().isHighSurrogate()) {
            text.chop(1);
        }
    }
    return text;
}

// No file name can hold a NUL, nor (as UTF-8) half of a surrogate pair: the
// one becomes the replacement given, the other U+FFFD.
QString nameSafe(QString text, QChar forNul)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            ++i;
        } else if (c.isSurrogate()) {
            text[i] = QChar::ReplacementCharacter;
        } else if (c.isNull()) {
            text[i] = forNul;
        }
    }
    return text;
}

QString cleanedTitle(const QString &title)
{
    if (title.isNull() || title == u"(stdin)") {
        return {};
    }
    QString text = trimmed(nameSafe(title, u' '), isNewline);
    if (!text.isEmpty() && text.front() == u'(' && text.back() == u')') {
        text.chop(1);
        text.remove(0, 1);
    }
    text = afterLast(text, u'/');
    text = afterLast(text, u'\\');
    text = beforeLast(text, u'.');
    text.replace(u':', u' ');
    text = beforeLast(cut(text, kMaximumTitleLength), u' ');
    text = trimmed(text, isPunctuation);
    return trimmed(text, isSpace);
}

} // namespace

QString zek_prepare_title(const QString &title, const QString &jobIdentifier)
{
    QString identifier = cut(nameSafe(jobIdentifier, u'_'), kMaximumIdentifierLength);
    identifier.replace(u'/', u'_');
    const QString text = cleanedTitle(title);
    if (text.isEmpty()) {
        return QStringLiteral("job_%1 Untitled document").arg(identifier);
    }
    return QStringLiteral("job_%1 %2").arg(identifier, text);
}
