#pragma once
#include <QByteArray>
#include <QString>

namespace kivo {

QString fromMacRoman(const QByteArray& bytes);
// UTF-8 when the bytes are valid UTF-8 (names and texts made here), else Mac OS Roman.
QString fromUtf8OrMacRoman(const QByteArray& bytes);
// Characters without a Mac OS Roman form become '?'.
QByteArray toMacRoman(const QString& text);

} // namespace kivo
