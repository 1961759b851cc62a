#include "platform/PropertyListBounds.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kivo::plist::bounds {

namespace {

QString deeperThanText() {
    return QStringLiteral("is nested deeper than %1 levels").arg(kMaxDepth);
}
QString moreValuesText() {
    return QStringLiteral("would expand to more than %1 values").arg(kMaxValues);
}
QString moreKeysText() {
    return QStringLiteral("has dictionaries with too many keys to read in reasonable time");
}

// ---- Binary -------------------------------------------------------------------------------

class BinaryWalk {
public:
    explicit BinaryWalk(QByteArrayView bytes)
        : fData(reinterpret_cast<const uchar*>(bytes.data())), fSize(bytes.size()) {}

    Extent run() {
        constexpr qsizetype kHeader = 8;
        constexpr qsizetype kTrailer = 32;
        if (fSize < kHeader + kTrailer || std::memcmp(fData, "bplist00", 8) != 0)
            return malformed(QStringLiteral("has no binary property-list header"));
        const qsizetype trailer = fSize - kTrailer;
        fOffsetSize = fData[trailer + 6];
        fRefSize = fData[trailer + 7];
        fCount = readBE(trailer + 8, 8);
        const quint64 root = readBE(trailer + 16, 8);
        const quint64 table = readBE(trailer + 24, 8);
        if (fOffsetSize < 1 || fOffsetSize > 8 || fRefSize < 1 || fRefSize > 8)
            return malformed(QStringLiteral("has an unusable offset or reference size"));
        if (fCount == 0 || root >= fCount || table < quint64(kHeader) ||
            table >= quint64(trailer) || fCount > (quint64(trailer) - table) / quint64(fOffsetSize))
            return malformed(QStringLiteral("has an object table outside the file"));
        // Every object a writer stores is reachable, each at least once.
        if (fCount > quint64(kMaxValues))
            return tooLarge(moreValuesText());
        fTable = qsizetype(table);
        fMemo.assign(size_t(fCount), Memo{});
        if (!visit(root, 1))
            return fExtent;
        const Memo& r = fMemo[size_t(root)];
        fExtent.depth = r.below;
        fExtent.values = r.values;
        fExtent.bytes = r.bytes;
        fExtent.keyComparisons = r.keyComparisons;
        return fExtent;
    }

private:
    // Per object, what one reference to it expands to. Sums stop just past the bounds.
    struct Memo {
        quint32 values = 0;
        quint32 bytes = 0;
        quint32 keyComparisons = 0; // as the same values would cost written as XML
        quint8 below = 0;           // levels, itself included
        quint8 state = 0;           // 0 not seen, 1 being expanded, 2 done
        bool nulUnit = false;       // a UTF-16 string holding U+0000
    };

    Extent malformed(const QString& why) {
        fExtent.verdict = Verdict::Malformed;
        fExtent.why = QStringLiteral("is not a property list (it %1)").arg(why);
        return fExtent;
    }
    Extent tooLarge(const QString& why) {
        fExtent.verdict = Verdict::TooLarge;
        fExtent.why = why;
        return fExtent;
    }
    bool fail(Extent (BinaryWalk::*how)(const QString&), const QString& why) {
        (this->*how)(why);
        return false;
    }

    quint64 readBE(qsizetype at, int n) const {
        quint64 v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 8) | fData[at + i];
        return v;
    }

    // Bytes left before the offset table, where every object must lie.
    quint64 room(qsizetype p) const { return p < fTable ? quint64(fTable - p) : 0; }

    bool visit(quint64 index, int depth) {
        if (depth > kMaxDepth)
            return fail(&BinaryWalk::tooLarge, deeperThanText());
        Memo& m = fMemo[size_t(index)];
        if (m.state == 2) {
            if (depth - 1 + m.below > kMaxDepth)
                return fail(&BinaryWalk::tooLarge, deeperThanText());
            return true;
        }
        if (m.state == 1)
            return fail(&BinaryWalk::malformed, QStringLiteral("has an object inside itself"));
        m.state = 1;

        const quint64 offset = readBE(fTable + qsizetype(index) * fOffsetSize, fOffsetSize);
        if (offset >= quint64(fTable))
            return fail(&BinaryWalk::malformed, QStringLiteral("points outside its objects"));
        qsizetype p = qsizetype(offset);
        const uchar marker = fData[p++];
        const uchar type = marker & 0xF0;
        quint64 size = marker & 0x0F;
        const bool sized = type == 0x40 || type == 0x50 || type == 0x60 || type == 0xA0 ||
                           type == 0xC0 || type == 0xD0;
        if (sized && size == 0x0F) {
            if (room(p) < 1 || (fData[p] & 0xF0) != 0x10)
                return fail(&BinaryWalk::malformed, QStringLiteral("has a bad length"));
            const int n = 1 << (fData[p] & 0x0F);
            ++p;
            if (n > 8 || room(p) < quint64(n))
                return fail(&BinaryWalk::malformed, QStringLiteral("has a bad length"));
            size = readBE(p, n);
            p += n;
        }

        quint64 own = 0;
        quint64 refs = 0;
        bool fits = true;
        switch (type) {
        case 0x00: // only true and false make a value
            fits = size == 0x08 || size == 0x09;
            break;
        case 0x10:
            fits = size <= 4 && room(p) >= (quint64(1) << size);
            break;
        case 0x20:
            fits = (size == 2 || size == 3) && room(p) >= (quint64(1) << size);
            break;
        case 0x30:
            fits = size == 3 && room(p) >= 8;
            break;
        case 0x40:
        case 0x50:
            fits = size <= room(p);
            own = size + 1;
            break;
        case 0x60:
            fits = size <= room(p) / 2;
            // The parser allocates four bytes per UTF-16 unit while converting.
            own = 4 * (size + 1);
            for (quint64 i = 0; fits && i < size && !m.nulUnit; ++i)
                m.nulUnit =
                    fData[p + qsizetype(2 * i)] == 0 && fData[p + qsizetype(2 * i) + 1] == 0;
            break;
        case 0x80:
            fits = size + 1 <= room(p);
            break;
        case 0xA0:
        case 0xC0:
            refs = size;
            break;
        case 0xD0:
            fits = size <= room(p) / 2;
            refs = 2 * size; // keys are objects of their own, expanded like values
            break;
        default:
            fits = false;
            break;
        }
        if (!fits || refs > room(p) / quint64(fRefSize))
            return fail(&BinaryWalk::malformed, QStringLiteral("has an object that does not fit"));

        quint64 values = 1;
        quint64 bytes = own;
        // Saved as XML, this would be read back key by key: what is read must load again.
        quint64 comparisons = type == 0xD0 && size > 0 ? size * (size - 1) / 2 : 0;
        if (comparisons > quint64(kMaxKeyComparisons))
            return fail(&BinaryWalk::tooLarge, moreKeysText());
        int below = 0;
        for (quint64 i = 0; i < refs; ++i) {
            const quint64 child = readBE(p + qsizetype(i) * fRefSize, fRefSize);
            if (child >= fCount)
                return fail(&BinaryWalk::malformed, QStringLiteral("refers to a missing object"));
            if (!visit(child, depth + 1))
                return false;
            const Memo& c = fMemo[size_t(child)];
            // libplist 2.2 keeps such a key's length past its NUL and then fails an assertion
            // reading it back, ending the program.
            if (type == 0xD0 && i < refs / 2 && c.nulUnit)
                return fail(&BinaryWalk::malformed, QStringLiteral("has a key holding U+0000"));
            values += c.values;
            bytes += c.bytes;
            comparisons += c.keyComparisons;
            if (comparisons > quint64(kMaxKeyComparisons))
                return fail(&BinaryWalk::tooLarge, moreKeysText());
            below = std::max(below, int(c.below));
            if (values > quint64(kMaxValues))
                return fail(&BinaryWalk::tooLarge, moreValuesText());
            if (bytes > quint64(kMaxExpandedBytes))
                return fail(&BinaryWalk::tooLarge,
                            QStringLiteral("would expand to more than %1 MiB of text and data")
                                .arg(kMaxExpandedBytes / (1024 * 1024)));
        }
        if (bytes > quint64(kMaxExpandedBytes))
            return fail(&BinaryWalk::tooLarge, QStringLiteral("holds more than %1 MiB of data")
                                                   .arg(kMaxExpandedBytes / (1024 * 1024)));
        m.values = quint32(values);
        m.bytes = quint32(bytes);
        m.keyComparisons = quint32(comparisons);
        m.below = quint8(below + 1);
        m.state = 2;
        return true;
    }

    const uchar* fData;
    qsizetype fSize;
    qsizetype fTable = 0;
    int fOffsetSize = 0;
    int fRefSize = 0;
    quint64 fCount = 0;
    std::vector<Memo> fMemo;
    Extent fExtent;
};

// ---- XML ----------------------------------------------------------------------------------
// Mirrors libplist 2.2's xplist.c step by step: where it skips (comments, processing
// instructions, DOCTYPE, CDATA, quoted attribute text) this skips the same bytes, so a closing
// tag it would not see is not counted here either. Its semantic checks (key before value, known
// tags inside dictionaries) are left to it: ignoring them only makes the count larger.

class XmlWalk {
public:
    explicit XmlWalk(QByteArrayView bytes) : s(bytes.data()), n(bytes.size()) {}

    Extent run() {
        std::vector<char> path; // 'p' plist, 'd' dict, 'a' array: the parser's node path
        // The parser's chain of parent nodes, innermost last: a dictionary's key count so far,
        // -1 for an array. An empty root still becomes the parent of what follows.
        std::vector<qint64> parents;
        bool haveRoot = false;
        bool stopped = false; // where the parser returns what it has without reading on
        while (pos < n && !stopped) {
            skipSpace();
            if (pos >= n)
                break;
            if (s[pos] != '<')
                return malformed(QStringLiteral("has text outside an element"));
            if (++pos >= n)
                return malformed(QStringLiteral("ends inside a tag"));
            if (s[pos] == '?') {
                findText("?>", true);
                if (pos > n - 2 || !at("?>"))
                    return malformed(QStringLiteral("has an unclosed <?"));
                pos += 2;
                continue;
            }
            if (s[pos] == '!') {
                if (!skipDeclaration())
                    return fExtent;
                continue;
            }
            const qsizetype nameStart = pos;
            findAny(" \r\n\t<>", false);
            if (pos >= n)
                return malformed(QStringLiteral("ends inside a tag"));
            const qsizetype nameLength = pos - nameStart;
            if (s[pos] != '>')
                findAny("<>", true);
            if (pos >= n || s[pos] != '>')
                return malformed(QStringLiteral("has an unclosed tag"));
            // The parser copies the name as a C string: it ends at a NUL byte, and at the
            // slash of an empty element.
            qsizetype visible = nameLength;
            if (const void* nul = std::memchr(s + nameStart, '\0', size_t(nameLength)))
                visible = static_cast<const char*>(nul) - (s + nameStart);
            const bool empty = s[pos - 1] == '/';
            if (empty)
                visible = std::min(visible, pos - nameStart - 1);
            ++pos;
            const QByteArrayView name(s + nameStart, visible);

            if (name == "plist") {
                if (path.empty() && haveRoot)
                    break; // a second document: the parser ends the first one normally
                if (empty)
                    return malformed(QStringLiteral("has an empty plist element"));
                path.push_back('p');
                continue;
            }
            if (name.startsWith('/')) {
                const QByteArrayView closed = name.sliced(1);
                const char kind = closed == "plist"   ? 'p'
                                  : closed == "dict"  ? 'd'
                                  : closed == "array" ? 'a'
                                                      : '?';
                if (path.empty() || path.back() != kind)
                    return malformed(QStringLiteral("has a mismatched closing tag"));
                path.pop_back();
                if (kind == 'p')
                    continue;
                parents.pop_back();
                stopped = parents.empty(); // the root is complete
                continue;
            }
            const bool container = name == "dict" || name == "array";
            const bool scalar = name == "key" || name == "string" || name == "integer" ||
                                name == "real" || name == "true" || name == "false" ||
                                name == "data" || name == "date";
            if (!container && !scalar)
                return malformed(QStringLiteral("has an unknown element"));
            if (scalar && !empty && !skipText(nameStart, visible, nameLength))
                return fExtent;
            const int depth = int(parents.size()) + 1;
            if (!count(depth))
                return fExtent;
            if (name == "key" && !parents.empty() && parents.back() >= 0 &&
                !countKey(parents.back()))
                return fExtent;
            if (!haveRoot) {
                haveRoot = true;
                if (scalar) {
                    stopped = true; // a lone value is the whole document
                    continue;
                }
                parents.push_back(name == "dict" ? 0 : -1);
                if (!empty)
                    path.push_back(name == "dict" ? 'd' : 'a');
                continue;
            }
            if (container && !empty) {
                path.push_back(name == "dict" ? 'd' : 'a');
                parents.push_back(name == "dict" ? 0 : -1);
            }
            continue;
        }
        if (!stopped && !path.empty())
            return malformed(QStringLiteral("ends before its elements are closed"));
        return fExtent;
    }

private:
    Extent malformed(const QString& why) {
        fExtent.verdict = Verdict::Malformed;
        fExtent.why = QStringLiteral("is not a property list (it %1)").arg(why);
        return fExtent;
    }

    bool count(int depth) {
        fExtent.depth = std::max(fExtent.depth, depth);
        ++fExtent.values;
        if (depth > kMaxDepth) {
            fExtent.verdict = Verdict::TooLarge;
            fExtent.why = deeperThanText();
            return false;
        }
        if (fExtent.values > kMaxValues) {
            fExtent.verdict = Verdict::TooLarge;
            fExtent.why = moreValuesText();
            return false;
        }
        return true;
    }

    // Each key is looked up among the keys already in its dictionary.
    bool countKey(qint64& keys) {
        fExtent.keyComparisons += keys++;
        if (fExtent.keyComparisons <= kMaxKeyComparisons)
            return true;
        fExtent.verdict = Verdict::TooLarge;
        fExtent.why = moreKeysText();
        return false;
    }

    bool at(const char* literal) const {
        const qsizetype len = qsizetype(std::strlen(literal));
        return pos + len <= n && std::memcmp(s + pos, literal, size_t(len)) == 0;
    }

    void skipSpace() {
        while (pos < n && (s[pos] == ' ' || s[pos] == '\t' || s[pos] == '\r' || s[pos] == '\n'))
            ++pos;
    }

    void findChar(char c) {
        while (pos < n && s[pos] != c)
            ++pos;
    }

    // Quoted text is stepped over whole; an unmatched quote runs to the end.
    void findText(const char* text, bool skipQuotes) {
        const qsizetype len = qsizetype(std::strlen(text));
        while (pos < n - len) {
            if (std::memcmp(s + pos, text, size_t(len)) == 0)
                break;
            if (skipQuotes && s[pos] == '"') {
                ++pos;
                findChar('"');
                if (pos >= n)
                    return;
            }
            ++pos;
        }
    }

    void findAny(const char* chars, bool skipQuotes) {
        const qsizetype count = qsizetype(std::strlen(chars));
        while (pos < n) {
            if (skipQuotes && s[pos] == '"') {
                ++pos;
                findChar('"');
                if (pos >= n)
                    return;
            }
            for (qsizetype i = 0; i < count; ++i) {
                if (s[pos] == chars[i])
                    return;
            }
            ++pos;
        }
    }

    // At the '!' of "<!": a comment or a DOCTYPE.
    bool skipDeclaration() {
        if (n - pos > 3 && at("!--")) {
            pos += 3;
            findText("-->", false);
            if (pos > n - 3 || !at("-->")) {
                malformed(QStringLiteral("has an unclosed comment"));
                return false;
            }
            pos += 3;
            return true;
        }
        if (n - pos > 8 && at("!DOCTYPE")) {
            pos += 8;
            bool subset = false;
            while (pos < n) {
                findAny(" \t\r\n[>", true);
                if (pos >= n) {
                    malformed(QStringLiteral("has an unclosed DOCTYPE"));
                    return false;
                }
                if (s[pos] == '[') {
                    subset = true;
                    break;
                }
                if (s[pos] == '>') {
                    ++pos;
                    break;
                }
                skipSpace();
            }
            if (subset) {
                findText("]>", true);
                if (pos > n - 2 || !at("]>")) {
                    malformed(QStringLiteral("has an unclosed DOCTYPE"));
                    return false;
                }
                pos += 2;
            }
            return true;
        }
        malformed(QStringLiteral("has an unknown <! declaration"));
        return false;
    }

    // The text of a value element up to its closing tag, comments and CDATA included. The
    // closing name is compared the way strncmp compares it with the copied name.
    bool skipText(qsizetype nameStart, qsizetype visible, qsizetype nameLength) {
        for (;;) {
            findChar('<');
            if (pos >= n || ++pos >= n) {
                malformed(QStringLiteral("ends inside a value"));
                return false;
            }
            if (s[pos] == '/')
                break;
            if (s[pos] != '!' || ++pos >= n - 1) {
                malformed(QStringLiteral("has an element inside a value"));
                return false;
            }
            if (s[pos] == '-' && s[pos + 1] == '-') {
                pos += 2;
                findText("-->", false);
                if (pos > n - 3 || !at("-->")) {
                    malformed(QStringLiteral("has an unclosed comment"));
                    return false;
                }
                pos += 3;
            } else if (s[pos] == '[' && ++pos < n - 8 && at("CDATA[")) {
                pos += 6;
                findText("]]>", false);
                if (pos > n - 3 || !at("]]>")) {
                    malformed(QStringLiteral("has an unclosed CDATA section"));
                    return false;
                }
                pos += 3;
            } else {
                malformed(QStringLiteral("has an unknown <! declaration"));
                return false;
            }
        }
        ++pos;
        if (pos >= n - nameLength || !closesWith(nameStart, visible, nameLength)) {
            malformed(QStringLiteral("has a mismatched closing tag"));
            return false;
        }
        pos += nameLength;
        skipSpace();
        if (pos >= n || s[pos] != '>') {
            malformed(QStringLiteral("has a mismatched closing tag"));
            return false;
        }
        ++pos;
        return true;
    }

    bool closesWith(qsizetype nameStart, qsizetype visible, qsizetype nameLength) const {
        for (qsizetype i = 0; i < nameLength; ++i) {
            const char want = i < visible ? s[nameStart + i] : '\0';
            if (s[pos + i] != want)
                return false;
            if (want == '\0')
                return true;
        }
        return true;
    }

    const char* s;
    qsizetype n;
    qsizetype pos = 0;
    Extent fExtent;
};

} // namespace

Extent measureBinary(QByteArrayView bytes) {
    return BinaryWalk(bytes).run();
}

Extent measureXml(QByteArrayView bytes) {
    return XmlWalk(bytes).run();
}

} // namespace kivo::plist::bounds
