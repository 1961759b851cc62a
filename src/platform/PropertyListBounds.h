#pragma once
// How large a property list would become once parsed, worked out from its bytes without
// building it. libplist 2.2 builds a binary plist's shared objects once per reference (a few
// hundred bytes can stand for billions of values) and frees trees recursively (deep nesting
// overflows the stack), so nothing goes to it before these checks pass.
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

namespace kivo::plist::bounds {

// Settings and embedded metadata are tiny; these only stop hostile input.
inline constexpr int kMaxDepth = 64;                          // levels, the root being 1
inline constexpr qint64 kMaxValues = 1'000'000;               // keys count as values
inline constexpr qint64 kMaxExpandedBytes = 64 * 1024 * 1024; // text and data, all copies
// libplist's XML parser looks every key up among those already in its dictionary, in 4096 hash
// buckets (none below 500 keys): keys made to collide cost n^2/2 comparisons. This bounds the
// sum of n(n-1)/2 over all dictionaries: half a second were every key to collide, and still
// 8192 keys in a single dictionary.
inline constexpr qint64 kMaxKeyComparisons = qint64(1) << 25;

enum class Verdict { Ok, Malformed, TooLarge };

struct Extent {
    Verdict verdict = Verdict::Ok;
    // What the parser would build (at least); partial once a bound was passed.
    int depth = 0;
    qint64 values = 0;
    qint64 bytes = 0;
    qint64 keyComparisons = 0;
    QString why; // for Malformed and TooLarge
};

// A binary plist ("bplist00..."), every shared object counted once per reference.
Extent measureBinary(QByteArrayView bytes);
// An XML plist exactly as it is handed to the parser. The scan follows libplist 2.2's own
// tokenizer, so nothing that parser would nest or create escapes the count; whatever that
// tokenizer would reject is Malformed here too.
Extent measureXml(QByteArrayView bytes);

} // namespace kivo::plist::bounds
