#include "platform/MacRoman.h"

#include <QStringDecoder>
#include <algorithm>
#include <iconv.h>
#include <string_view>
#include <vector>

namespace kivo {

namespace {
QByteArray convert(const char* to, const char* from, const QByteArray& in) {
    iconv_t cd = iconv_open(to, from);
    if (cd == iconv_t(-1))
        return {};
    std::vector<char> out(size_t(in.size()) * 4 + 16);
    char* src = const_cast<char*>(in.constData());
    size_t srcLeft = size_t(in.size());
    char* dst = out.data();
    size_t dstLeft = out.size();
    QByteArray result;
    while (srcLeft > 0) {
        if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) == size_t(-1)) {
            // Skip what cannot be converted rather than lose the rest of the text.
            result.append(out.data(), qsizetype(out.size() - dstLeft));
            result.append('?');
            dst = out.data();
            dstLeft = out.size();
            if (srcLeft > 0) {
                // Step over one character of the source (one byte, or one UTF-8 sequence).
                size_t step = 1;
                if (std::string_view(from) == "UTF-8") {
                    unsigned char c = static_cast<unsigned char>(*src);
                    step = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
                    step = std::min(step, srcLeft);
                }
                src += step;
                srcLeft -= step;
            }
        }
    }
    result.append(out.data(), qsizetype(out.size() - dstLeft));
    iconv_close(cd);
    return result;
}
} // namespace

QString fromMacRoman(const QByteArray& bytes) {
    return QString::fromUtf8(convert("UTF-8", "MACINTOSH", bytes));
}

QString fromUtf8OrMacRoman(const QByteArray& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(bytes);
    return utf8.hasError() ? fromMacRoman(bytes) : text;
}

QByteArray toMacRoman(const QString& text) {
    return convert("MACINTOSH", "UTF-8", text.toUtf8());
}

} // namespace kivo
