#include "platform/StringsFile.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

namespace kivo::strings {

namespace {

bool isWordChar(QChar c) {
    const char16_t u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_' ||
           u == '$' || u == '+' || u == '/' || u == ':' || u == '.' || u == '-';
}

int hexValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

class Parser {
public:
    Parser(const QString& text, Table& out) : fText(text), fOut(out) {}

    bool root() {
        if (!skipSpace())
            return false;
        if (peek() == u'{') {
            ++fPos;
            if (!dictionaryBody(fOut.dictionary, 1, true) || !skipSpace())
                return false;
            if (fPos < fText.size())
                return fail(Problem::Malformed, QStringLiteral("text after the root dictionary"));
            return true;
        }
        // The usual form of a strings file: the root's entries without braces.
        return dictionaryBody(fOut.dictionary, 1, false);
    }

private:
    QChar peek() const { return fPos < fText.size() ? fText.at(fPos) : QChar(); }
    bool atEnd() const { return fPos >= fText.size(); }

    bool fail(Problem problem, const QString& what) {
        const qsizetype line = fText.left(fPos).count(QLatin1Char('\n')) + 1;
        fOut.problem = problem;
        fOut.reason = QStringLiteral("%1 (line %2)").arg(what).arg(line);
        return false;
    }

    // Whitespace and comments; false only for a comment that never ends.
    bool skipSpace() {
        while (!atEnd()) {
            const QChar c = peek();
            if (c.isSpace()) {
                ++fPos;
            } else if (c == u'/' && fPos + 1 < fText.size() && fText.at(fPos + 1) == u'/') {
                const qsizetype end = fText.indexOf(QLatin1Char('\n'), fPos);
                fPos = end < 0 ? fText.size() : end + 1;
            } else if (c == u'/' && fPos + 1 < fText.size() && fText.at(fPos + 1) == u'*') {
                const qsizetype end = fText.indexOf(QLatin1String("*/"), fPos + 2);
                if (end < 0)
                    return fail(Problem::Malformed, QStringLiteral("unterminated comment"));
                fPos = end + 2;
            } else {
                return true;
            }
        }
        return true;
    }

    bool expect(char16_t c) {
        if (!skipSpace())
            return false;
        if (peek() != QChar(c))
            return fail(Problem::Malformed, atEnd()
                                                ? QStringLiteral("unexpected end of text")
                                                : QStringLiteral("expected '%1'").arg(QChar(c)));
        ++fPos;
        return true;
    }

    bool string(QString& out) {
        if (!skipSpace())
            return false;
        if (peek() == u'"')
            return quoted(out);
        const qsizetype start = fPos;
        while (!atEnd() && isWordChar(peek()))
            ++fPos;
        if (fPos == start)
            return fail(Problem::Malformed, atEnd() ? QStringLiteral("unexpected end of text")
                                                    : QStringLiteral("expected a string"));
        out = fText.mid(start, fPos - start);
        return true;
    }

    bool quoted(QString& out) {
        const qsizetype opening = fPos++;
        out.clear();
        while (!atEnd()) {
            const QChar c = fText.at(fPos++);
            if (c == u'"')
                return true;
            if (c != u'\\') {
                out += c;
                continue;
            }
            if (atEnd())
                break;
            const QChar e = fText.at(fPos++);
            switch (e.unicode()) {
            case 'n':
                out += QLatin1Char('\n');
                break;
            case 't':
                out += QLatin1Char('\t');
                break;
            case 'r':
                out += QLatin1Char('\r');
                break;
            case 'a':
                out += QChar(7);
                break;
            case 'b':
                out += QChar(8);
                break;
            case 'f':
                out += QChar(12);
                break;
            case 'v':
                out += QChar(11);
                break;
            case 'U': {
                // One UTF-16 unit; characters beyond the BMP are written as two.
                int value = 0, digits = 0;
                for (; digits < 4 && !atEnd() && hexValue(peek()) >= 0; ++digits)
                    value = value * 16 + hexValue(fText.at(fPos++));
                if (digits == 0)
                    return fail(Problem::Malformed, QStringLiteral("\\U without hex digits"));
                out += QChar(char16_t(value));
                break;
            }
            default:
                if (e >= u'0' && e <= u'7') {
                    int value = e.unicode() - '0';
                    for (int n = 1; n < 3 && peek() >= u'0' && peek() <= u'7'; ++n)
                        value = value * 8 + (fText.at(fPos++).unicode() - '0');
                    out += QChar(char16_t(value & 0xFF));
                } else {
                    out += e; // \" \\ and any other character stand for themselves
                }
            }
        }
        fPos = opening;
        return fail(Problem::Malformed, QStringLiteral("unterminated string"));
    }

    bool value(QVariant& out, int depth) {
        if (!skipSpace())
            return false;
        const QChar c = peek();
        if (c == u'{' || c == u'(') {
            if (depth + 1 > kMaxDepth)
                return fail(Problem::TooDeep,
                            QStringLiteral("nested deeper than %1 levels").arg(kMaxDepth));
            ++fPos;
            if (c == u'{') {
                QVariantMap map;
                if (!dictionaryBody(map, depth + 1, true))
                    return false;
                out = map;
            } else {
                QVariantList list;
                if (!arrayBody(list, depth + 1))
                    return false;
                out = list;
            }
            return true;
        }
        QString s;
        if (!string(s))
            return false;
        out = s;
        return true;
    }

    bool dictionaryBody(QVariantMap& map, int depth, bool braced) {
        for (;;) {
            if (!skipSpace())
                return false;
            if (braced && peek() == u'}') {
                ++fPos;
                return true;
            }
            if (!braced && atEnd())
                return true;
            QString key;
            QVariant v;
            if (!string(key) || !expect(u'=') || !value(v, depth) || !expect(u';'))
                return false;
            map.insert(key, v);
        }
    }

    bool arrayBody(QVariantList& list, int depth) {
        for (;;) {
            if (!skipSpace())
                return false;
            if (peek() == u')') {
                ++fPos;
                return true;
            }
            QVariant v;
            if (!value(v, depth) || !skipSpace())
                return false;
            list.append(v);
            if (peek() == u',')
                ++fPos;
            else if (peek() != u')')
                return fail(Problem::Malformed, atEnd() ? QStringLiteral("unexpected end of text")
                                                        : QStringLiteral("expected ',' or ')'"));
        }
    }

    const QString& fText;
    Table& fOut;
    qsizetype fPos = 0;
};

} // namespace

Table parse(const QByteArray& bytes) {
    Table out;
    if (bytes.size() > kMaxBytes) {
        out.problem = Problem::TooLarge;
        out.reason =
            QStringLiteral("%1 bytes, over the limit of %2").arg(bytes.size()).arg(kMaxBytes);
        return out;
    }
    QStringConverter::Encoding encoding = QStringConverter::Utf8;
    qsizetype skip = 0;
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        skip = 3;
    } else if (bytes.startsWith("\xFF\xFE")) {
        encoding = QStringConverter::Utf16LE;
        skip = 2;
    } else if (bytes.startsWith("\xFE\xFF")) {
        encoding = QStringConverter::Utf16BE;
        skip = 2;
    }
    QStringDecoder decode(encoding, QStringConverter::Flag::Stateless);
    const QString text = decode(QByteArrayView(bytes).sliced(skip));
    if (decode.hasError()) {
        out.problem = Problem::Malformed;
        out.reason = QStringLiteral("not valid %1")
                         .arg(encoding == QStringConverter::Utf8 ? QStringLiteral("UTF-8")
                                                                 : QStringLiteral("UTF-16"));
        return out;
    }
    if (!Parser(text, out).root())
        out.dictionary.clear();
    return out;
}

Table load(const QString& path) {
    Table out;
    auto fail = [&](Problem problem, const QString& reason) {
        out.problem = problem;
        out.reason = reason;
        return out;
    };
    const QFileInfo info(path);
    if (!info.exists())
        return fail(Problem::Missing, QStringLiteral("does not exist"));
    // Opening a FIFO or a device could block or have effects of its own.
    if (!path.startsWith(QLatin1Char(':')) && !info.isFile())
        return fail(Problem::Unreadable, QStringLiteral("is not a regular file"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(Problem::Unreadable,
                    QStringLiteral("cannot be read: %1").arg(file.errorString()));
    const QByteArray bytes = file.read(kMaxBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return fail(Problem::Unreadable,
                    QStringLiteral("cannot be read: %1").arg(file.errorString()));
    return parse(bytes);
}

} // namespace kivo::strings
