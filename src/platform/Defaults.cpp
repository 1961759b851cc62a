#include "platform/Defaults.h"

#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/PropertyList.h"

#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>

namespace kivo {

namespace {

bool isIntegerType(int typeId) {
    switch (typeId) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return true;
    default:
        return false;
    }
}

bool isRealType(int typeId) {
    return typeId == QMetaType::Double || typeId == QMetaType::Float;
}

bool isAsciiDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

qsizetype skipSpace(QStringView s, qsizetype i = 0) {
    while (i < s.size() && s[i].isSpace())
        ++i;
    return i;
}

qsizetype skipDigits(QStringView s, qsizetype i) {
    while (i < s.size() && isAsciiDigit(s[i]))
        ++i;
    return i;
}

// The decimal number at the start of s (after white space), strtol-style: "12abc" is 12,
// no digits is 0, and overflow saturates.
qint64 integerFromText(QStringView s) {
    qsizetype i = skipSpace(s);
    bool negative = false;
    if (i < s.size() && (s[i] == QLatin1Char('+') || s[i] == QLatin1Char('-')))
        negative = s[i++] == QLatin1Char('-');
    // Accumulate negatively so the most negative value fits.
    constexpr qint64 kMin = std::numeric_limits<qint64>::min();
    qint64 value = 0;
    bool overflow = false;
    for (; i < s.size() && isAsciiDigit(s[i]); ++i) {
        const int digit = s[i].unicode() - '0';
        if (value < (kMin + digit) / 10) {
            overflow = true;
            continue;
        }
        value = value * 10 - digit;
    }
    if (overflow)
        return negative ? kMin : std::numeric_limits<qint64>::max();
    if (!negative)
        return value == kMin ? std::numeric_limits<qint64>::max() : -value;
    return value;
}

// The decimal real at the start of s (after white space), strtod-style but never hexadecimal,
// infinite or NaN: "2.5kg" is 2.5, no number is 0.
double doubleFromText(QStringView s) {
    const qsizetype begin = skipSpace(s);
    qsizetype i = begin;
    if (i < s.size() && (s[i] == QLatin1Char('+') || s[i] == QLatin1Char('-')))
        ++i;
    const qsizetype mantissa = i;
    i = skipDigits(s, i);
    bool digits = i > mantissa;
    if (i < s.size() && s[i] == QLatin1Char('.')) {
        const qsizetype fraction = i + 1;
        const qsizetype after = skipDigits(s, fraction);
        if (digits || after > fraction) {
            digits = true;
            i = after;
        }
    }
    if (!digits)
        return 0.0;
    bool negativeExponent = false;
    if (i < s.size() && (s[i] == QLatin1Char('e') || s[i] == QLatin1Char('E'))) {
        qsizetype j = i + 1;
        bool neg = false;
        if (j < s.size() && (s[j] == QLatin1Char('+') || s[j] == QLatin1Char('-')))
            neg = s[j++] == QLatin1Char('-');
        const qsizetype expEnd = skipDigits(s, j);
        if (expEnd > j) {
            i = expEnd;
            negativeExponent = neg;
        }
    }
    const bool negative = s[begin] == QLatin1Char('-');
    // Only ASCII is left, so Latin-1 is exact; from_chars takes no '+' and no locale.
    const QByteArray text = s.sliced(mantissa, i - mantissa).toLatin1();
    double value = 0.0;
    const auto res = std::from_chars(text.constData(), text.constData() + text.size(), value);
    if (res.ec == std::errc::result_out_of_range)
        value = negativeExponent ? 0.0 : std::numeric_limits<double>::infinity();
    return negative ? -value : value;
}

bool isIntegerLiteral(QStringView s) {
    qsizetype i = 0;
    if (i < s.size() && (s[i] == QLatin1Char('+') || s[i] == QLatin1Char('-')))
        ++i;
    return i < s.size() && skipDigits(s, i) == s.size();
}

bool isDecimalLiteral(QStringView s) {
    qsizetype i = 0;
    if (i < s.size() && (s[i] == QLatin1Char('+') || s[i] == QLatin1Char('-')))
        ++i;
    const qsizetype start = i;
    i = skipDigits(s, i);
    bool digits = i > start;
    if (i < s.size() && s[i] == QLatin1Char('.')) {
        const qsizetype fraction = ++i;
        i = skipDigits(s, i);
        digits = digits || i > fraction;
    }
    if (!digits)
        return false;
    if (i < s.size() && (s[i] == QLatin1Char('e') || s[i] == QLatin1Char('E'))) {
        ++i;
        if (i < s.size() && (s[i] == QLatin1Char('+') || s[i] == QLatin1Char('-')))
            ++i;
        const qsizetype exp = i;
        i = skipDigits(s, i);
        if (i == exp)
            return false;
    }
    return i == s.size();
}

qint64 integerFromDouble(double d) {
    if (std::isnan(d))
        return 0;
    // 2^63 is exactly representable; anything at or beyond it saturates.
    constexpr double kLimit = 9223372036854775808.0;
    if (d >= kLimit)
        return std::numeric_limits<qint64>::max();
    if (d <= -kLimit)
        return std::numeric_limits<qint64>::min();
    return qint64(d);
}

} // namespace

Defaults& Defaults::standard() {
    // Leaked on purpose: detached threads may still read settings while the process exits.
    static Defaults* store = new Defaults(standardPath());
    return *store;
}

QString Defaults::standardPath() {
    return bundle::configHome() + QLatin1Char('/') + bundle::identifier() +
           QStringLiteral(".plist");
}

Defaults::Defaults(const QString& path, int flushDelayMs)
    : fPath(path), fFlushDelayMs(flushDelayMs) {
    load();
}

Defaults::~Defaults() {
    {
        std::lock_guard lk(fLock);
        fStopping = true;
    }
    fFlushCv.notify_all();
    if (fFlusher.joinable())
        fFlusher.join();
    bool dirty;
    {
        std::lock_guard lk(fLock);
        dirty = fDirty;
    }
    if (dirty)
        synchronize();
}

void Defaults::load() {
    using Outcome = LoadReport::Outcome;
    fLoad.path = fPath;
    plist::DictionaryFile file = plist::loadDictionaryFile(fPath);
    const QString& reason = file.failure.reason;
    switch (file.failure.problem) {
    case plist::Problem::None: {
        std::lock_guard lk(fLock);
        fUser = std::move(file.dictionary);
        fLoad.outcome = Outcome::Loaded;
        return;
    }
    case plist::Problem::Missing:
        fLoad.outcome = Outcome::Missing;
        return;
    case plist::Problem::Unreadable:
    case plist::Problem::NotRegular:
        // It may hold settings the user wants back once the cause is put right.
        fLoad.outcome = file.failure.problem == plist::Problem::Unreadable ? Outcome::Unreadable
                                                                           : Outcome::NotRegular;
        fLoad.saves = false;
        fLoad.text = QStringLiteral("Settings file [%1] %2; running on the factory settings, "
                                    "and the file is left as it is and not saved over")
                         .arg(fPath, reason);
        break;
    case plist::Problem::TooLarge:
    case plist::Problem::Malformed:
    case plist::Problem::NotADictionary: {
        fLoad.outcome =
            file.failure.problem == plist::Problem::TooLarge ? Outcome::TooLarge : Outcome::Corrupt;
        QString why;
        fLoad.movedTo = moveAside(&why);
        if (!fLoad.movedTo.isEmpty()) {
            fLoad.text = QStringLiteral("Settings file [%1] %2; moved it aside to [%3] and running "
                                        "on the factory settings")
                             .arg(fPath, reason, fLoad.movedTo);
        } else {
            fLoad.saves = false;
            fLoad.text = QStringLiteral("Settings file [%1] %2 and could not be moved aside (%3); "
                                        "running on the factory settings, and the file is left "
                                        "as it is and not saved over")
                             .arg(fPath, reason, why);
        }
        break;
    }
    }
    consoleLine(fLoad.text);
}

// Keeps a refused file for the user, under a name nothing will ever write to, so the next
// save cannot destroy what may be recoverable by hand.
QString Defaults::moveAside(QString* error) const {
    const QString base = fPath + QStringLiteral(".refused-") +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QByteArray from = QFile::encodeName(fPath);
    for (int n = 1; n <= 1000; ++n) {
        const QString candidate = n == 1 ? base : base + QLatin1Char('-') + QString::number(n);
        const QByteArray to = QFile::encodeName(candidate);
        int rc =
            ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without no-replace renames: the look-then-move gap is accepted.
            struct stat st {};
            if (::lstat(to.constData(), &st) == 0)
                continue;
            rc = ::rename(from.constData(), to.constData());
        }
        if (rc == 0)
            return candidate;
        if (errno != EEXIST) {
            char buffer[256];
            *error = QString::fromLocal8Bit(strerror_r(errno, buffer, sizeof buffer));
            return {};
        }
    }
    *error = QStringLiteral("no free name beside it");
    return {};
}

QStringList Defaults::setArgumentDomainFromArguments(const QStringList& args) {
    QVariantMap domain;
    QStringList rest;
    for (qsizetype i = 0; i < args.size();) {
        const QString& arg = args[i];
        if (arg.size() >= 2 && arg[0] == QLatin1Char('-') && arg[1].isLetter() &&
            i + 1 < args.size()) {
            domain.insert(arg.mid(1), valueFromArgumentText(args[i + 1]));
            i += 2;
        } else {
            rest.append(arg);
            ++i;
        }
    }
    setArgumentDomain(domain);
    return rest;
}

void Defaults::setArgumentDomain(const QVariantMap& values) {
    std::lock_guard lk(fLock);
    fArgs = values;
}

void Defaults::registerDefaults(const QVariantMap& values) {
    std::lock_guard lk(fLock);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        fRegistered.insert(it.key(), it.value());
}

QVariant Defaults::objectForKey(const QString& key) const {
    std::lock_guard lk(fLock);
    for (const QVariantMap* layer : {&fArgs, &fUser, &fRegistered}) {
        auto it = layer->constFind(key);
        if (it != layer->cend())
            return it.value();
    }
    return {};
}

std::optional<QString> Defaults::stringForKey(const QString& key) const {
    return stringFromValue(objectForKey(key));
}

bool Defaults::boolForKey(const QString& key) const {
    return boolFromValue(objectForKey(key));
}

qint64 Defaults::integerForKey(const QString& key) const {
    return integerFromValue(objectForKey(key));
}

double Defaults::doubleForKey(const QString& key) const {
    return doubleFromValue(objectForKey(key));
}

void Defaults::setObject(const QString& key, const QVariant& value) {
    {
        std::lock_guard lk(fLock);
        if (value.isValid())
            fUser.insert(key, value);
        else
            fUser.remove(key);
        fDirty = true;
        scheduleFlush();
    }
    std::vector<std::shared_ptr<std::function<void(const QString&)>>> toCall;
    {
        std::lock_guard lk(fObserverLock);
        for (const Observer& o : fObservers) {
            if (o.key == key)
                toCall.push_back(o.fn);
        }
    }
    for (const auto& fn : toCall)
        (*fn)(key);
}

QVariantMap Defaults::userValues() const {
    std::lock_guard lk(fLock);
    return fUser;
}

QVariantMap Defaults::registeredDefaults() const {
    std::lock_guard lk(fLock);
    return fRegistered;
}

QVariantMap Defaults::argumentDomain() const {
    std::lock_guard lk(fLock);
    return fArgs;
}

bool Defaults::synchronize() {
    if (!fLoad.saves) {
        if (!fToldNotSaving.exchange(true))
            consoleLine(QStringLiteral("Not saving the settings to [%1]: the file found there at "
                                       "start is left as it is")
                            .arg(fPath));
        return false;
    }
    std::lock_guard writing(fWriteLock);
    QVariantMap snapshot;
    {
        std::lock_guard lk(fLock);
        snapshot = fUser;
        fDirty = false;
    }
    QString error;
    if (plist::writeXmlFileAtomically(fPath, snapshot, &error,
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return true;
    {
        std::lock_guard lk(fLock);
        fDirty = true;
    }
    consoleLine(QStringLiteral("Could not save the settings to [%1]: %2").arg(fPath, error));
    return false;
}

int Defaults::addObserver(const QString& key, std::function<void(const QString& key)> fn) {
    std::lock_guard lk(fObserverLock);
    const int id = fNextObserverId++;
    fObservers.push_back(
        {id, key, std::make_shared<std::function<void(const QString&)>>(std::move(fn))});
    return id;
}

void Defaults::removeObserver(int id) {
    std::lock_guard lk(fObserverLock);
    std::erase_if(fObservers, [id](const Observer& o) { return o.id == id; });
}

// Called with fLock held.
void Defaults::scheduleFlush() {
    ++fChangeCount;
    fLastChange = std::chrono::steady_clock::now();
    if (fFlushDelayMs < 0 || fStopping || !fLoad.saves)
        return;
    if (!fFlusher.joinable())
        fFlusher = std::thread(&Defaults::flushLoop, this);
    fFlushCv.notify_all();
}

void Defaults::flushLoop() {
    // A failed write is not retried until something changes again (the destructor and
    // synchronize() still try), so a full disk cannot make this loop spin.
    quint64 handled = 0;
    std::unique_lock lk(fLock);
    while (!fStopping) {
        if (fChangeCount == handled) {
            fFlushCv.wait(lk);
            continue;
        }
        const auto due = fLastChange + std::chrono::milliseconds(fFlushDelayMs);
        if (std::chrono::steady_clock::now() < due) {
            fFlushCv.wait_until(lk, due);
            continue;
        }
        handled = fChangeCount;
        lk.unlock();
        synchronize();
        lk.lock();
    }
}

bool Defaults::boolFromValue(const QVariant& v) {
    const int type = v.typeId();
    if (type == QMetaType::Bool)
        return v.toBool();
    if (isIntegerType(type))
        return v.toLongLong() != 0;
    if (isRealType(type))
        return v.toDouble() != 0.0;
    if (type == QMetaType::QString) {
        const QString s = v.toString();
        const qsizetype i = skipSpace(s);
        if (i >= s.size())
            return false;
        const QChar c = s[i];
        return c == QLatin1Char('Y') || c == QLatin1Char('y') || c == QLatin1Char('T') ||
               c == QLatin1Char('t') || (c >= QLatin1Char('1') && c <= QLatin1Char('9'));
    }
    return false;
}

qint64 Defaults::integerFromValue(const QVariant& v) {
    const int type = v.typeId();
    if (type == QMetaType::Bool)
        return v.toBool() ? 1 : 0;
    if (type == QMetaType::ULongLong || type == QMetaType::ULong) {
        const quint64 u = v.toULongLong();
        return u > quint64(std::numeric_limits<qint64>::max()) ? std::numeric_limits<qint64>::max()
                                                               : qint64(u);
    }
    if (isIntegerType(type))
        return v.toLongLong();
    if (isRealType(type))
        return integerFromDouble(v.toDouble());
    if (type == QMetaType::QString)
        return integerFromText(v.toString());
    return 0;
}

double Defaults::doubleFromValue(const QVariant& v) {
    const int type = v.typeId();
    if (type == QMetaType::Bool)
        return v.toBool() ? 1.0 : 0.0;
    if (isIntegerType(type) || isRealType(type))
        return v.toDouble();
    if (type == QMetaType::QString)
        return doubleFromText(v.toString());
    return 0.0;
}

std::optional<QString> Defaults::stringFromValue(const QVariant& v) {
    const int type = v.typeId();
    if (type == QMetaType::QString)
        return v.toString();
    // Booleans are numbers in the desktop store, so they read as 1 and 0.
    if (type == QMetaType::Bool)
        return v.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    if (type == QMetaType::ULongLong || type == QMetaType::ULong)
        return QString::number(v.toULongLong());
    if (isIntegerType(type))
        return QString::number(v.toLongLong());
    if (isRealType(type))
        return QString::number(v.toDouble(), 'g', QLocale::FloatingPointShortest);
    return std::nullopt;
}

QVariant Defaults::valueFromArgumentText(const QString& text) {
    // A number is taken only when its own text is exactly what was typed, so a string read
    // gives back the argument unchanged ("007" stays "007") while numeric reads convert it
    // anyway. "YES"/"NO" stay strings: the string rule of boolFromValue reads them right.
    if (isIntegerLiteral(text)) {
        bool ok = false;
        const qint64 n = text.toLongLong(&ok);
        if (ok && QString::number(n) == text)
            return QVariant(n);
    }
    if (isDecimalLiteral(text)) {
        const double d = doubleFromText(text);
        if (std::isfinite(d) && QString::number(d, 'g', QLocale::FloatingPointShortest) == text)
            return QVariant(d);
    }
    const QString trimmed = text.trimmed();
    if ((trimmed.startsWith(QLatin1String("<?xml")) ||
         trimmed.startsWith(QLatin1String("<plist"))) &&
        trimmed.endsWith(QLatin1String("</plist>"))) {
        if (std::optional<QVariant> v = plist::parse(trimmed.toUtf8()))
            return *v;
    }
    return QVariant(text);
}

} // namespace kivo
