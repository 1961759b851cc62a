#pragma once
#include <QByteArray>
#include <QString>

namespace kivo {

QString fromMacRoman(const QByteArray& bytes);
// Characters without a Mac OS Roman form become '?'.
QByteArray toMacRoman(const QString& text);

} // namespace kivo
