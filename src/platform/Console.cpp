#include "platform/Console.h"

#include "platform/Bundle.h"

#include <QDateTime>
#include <cstdio>
#include <sys/syscall.h>
#include <unistd.h>

namespace kivo {

void consoleLine(const QString& text) {
    QString body = text;
    while (body.endsWith(QLatin1Char('\n')))
        body.chop(1);
    const QString stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    const QByteArray line = QStringLiteral("%1 %2[%3:%4] %5\n")
                                .arg(stamp, bundle::displayName())
                                .arg(qint64(getpid()))
                                .arg(qint64(syscall(SYS_gettid)))
                                .arg(body)
                                .toUtf8();
    // One write per line so lines from several threads never interleave.
    fwrite(line.constData(), 1, size_t(line.size()), stderr);
    fflush(stderr);
}

QString insideText(const char* cls, const char* method) {
    return QStringLiteral("Inside %1 => %2...").arg(QLatin1String(cls), QLatin1String(method));
}

void consoleInside(const char* cls, const char* method) {
    consoleLine(insideText(cls, method));
}

} // namespace kivo
