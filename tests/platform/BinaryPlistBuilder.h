#pragma once
// Hand-made binary property lists, for shapes no writer would produce (shared sub-objects,
// cycles, deep nesting).
#include <QByteArray>
#include <QList>

namespace kivo::test {

namespace bplist {

inline QByteArray ascii(const QByteArray& text) {
    Q_ASSERT(text.size() < 15);
    return char(0x50 | text.size()) + text;
}

inline QByteArray utf16(const QString& text) {
    Q_ASSERT(text.size() < 15);
    QByteArray out(1, char(0x60 | text.size()));
    for (QChar c : text) {
        out += char(c.unicode() >> 8);
        out += char(c.unicode() & 0xFF);
    }
    return out;
}

// Objects referring to others by index; references are written two bytes wide.
inline QByteArray refs(uchar type, qsizetype count, const QList<int>& indexes) {
    QByteArray out;
    if (count < 15) {
        out += char(type | count);
    } else {
        out += char(type | 0x0F);
        out += char(0x11);
        out += char(count >> 8);
        out += char(count & 0xFF);
    }
    for (int i : indexes) {
        out += char(i >> 8);
        out += char(i & 0xFF);
    }
    return out;
}
inline QByteArray array(const QList<int>& items) {
    return refs(0xA0, items.size(), items);
}
// Keys first, then values, as the format lays them out.
inline QByteArray dict(const QList<int>& keys, const QList<int>& values) {
    Q_ASSERT(keys.size() == values.size());
    return refs(0xD0, keys.size(), keys + values);
}

inline void appendBE(QByteArray& out, quint64 v, int width) {
    for (int i = width - 1; i >= 0; --i)
        out += char((v >> (8 * i)) & 0xFF);
}

// The whole file; objects[0] is the root.
inline QByteArray file(const QList<QByteArray>& objects) {
    QByteArray out("bplist00");
    QList<quint64> offsets;
    for (const QByteArray& o : objects) {
        offsets << quint64(out.size());
        out += o;
    }
    const quint64 table = quint64(out.size());
    const int offsetSize = table < 0x100 ? 1 : table < 0x10000 ? 2 : 4;
    for (quint64 o : offsets)
        appendBE(out, o, offsetSize);
    out += QByteArray(6, '\0');
    out += char(offsetSize);
    out += char(2); // reference size
    appendBE(out, quint64(objects.size()), 8);
    appendBE(out, 0, 8);
    appendBE(out, table, 8);
    return out;
}

// { "prefMetaData": [[[...leaf...]]] } where each of `levels` arrays holds `fanOut`
// references to the one below: a few hundred bytes standing for fanOut^levels values.
inline QByteArray sharedReferenceBomb(int levels = 24, int fanOut = 14,
                                      const QByteArray& leaf = "x") {
    QList<QByteArray> objects{dict({1}, {2}), ascii("prefMetaData")};
    for (int level = 0; level < levels; ++level)
        objects << array(QList<int>(fanOut, 3 + level));
    objects << ascii(leaf);
    return file(objects);
}

// `levels` arrays, each the only item of the one above (the root is level 1).
inline QByteArray nestedArrays(int levels) {
    QList<QByteArray> objects;
    for (int level = 1; level < levels; ++level)
        objects << array({level});
    objects << array({});
    return file(objects);
}

} // namespace bplist

} // namespace kivo::test
