#pragma once
// Old-style property lists as the message tables use them ("strings" files): dictionaries,
// arrays, quoted strings and unquoted words, with /* */ and // comments. Dictionaries become
// QVariantMap, arrays QVariantList, everything else QString. The root is a dictionary, with or
// without its braces. Bounded by size and depth, so hostile input is refused, never followed.
#include <QByteArray>
#include <QString>
#include <QVariant>

namespace kivo::strings {

// The tables hold a few dozen short texts; these only stop hostile input.
inline constexpr qint64 kMaxBytes = 1024 * 1024;
inline constexpr int kMaxDepth = 32; // levels, the root dictionary being 1

enum class Problem {
    None,
    Missing,    // no file or resource at the path
    Unreadable, // it exists but cannot be read, or is not a regular file
    TooLarge,   // over kMaxBytes
    TooDeep,    // nested deeper than kMaxDepth
    Malformed,  // not in the syntax, or not valid UTF-8 / UTF-16
};

struct Table {
    Problem problem = Problem::None;
    QString reason; // what and where, for a console line; empty when problem is None
    QVariantMap dictionary;
};

// UTF-8 (an optional byte-order mark is skipped) or UTF-16 with its byte-order mark.
Table parse(const QByteArray& bytes);
// Paths starting with ':' are compiled-in resources; other paths must be regular files.
Table load(const QString& path);

} // namespace kivo::strings
