#include "platform/PropertyList.h"

#include "platform/PropertyListBounds.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <plist/plist.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo::plist {

namespace {

// The bounds checks let nothing deeper through; this only keeps the recursion safe on its own.
constexpr int kMaxDepth = bounds::kMaxDepth;

const QDateTime& referenceDate() {
    static const QDateTime ref(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    return ref;
}

struct PlistDeleter {
    void operator()(void* p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

std::optional<QVariant> toVariant(plist_t node, int depth) {
    if (!node || depth > kMaxDepth)
        return std::nullopt;
    switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        if (!it)
            return std::nullopt;
        bool ok = true;
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, it, &key, &item);
            if (!item) {
                free(key);
                break;
            }
            std::optional<QVariant> value = toVariant(item, depth + 1);
            if (value && key)
                map.insert(QString::fromUtf8(key), *value);
            else
                ok = false;
            free(key);
            if (!ok)
                break;
        }
        free(it);
        if (!ok)
            return std::nullopt;
        return QVariant(map);
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t n = plist_array_get_size(node);
        list.reserve(qsizetype(n));
        for (uint32_t i = 0; i < n; ++i) {
            std::optional<QVariant> value = toVariant(plist_array_get_item(node, i), depth + 1);
            if (!value)
                return std::nullopt;
            list.append(*value);
        }
        return QVariant(list);
    }
    case PLIST_STRING: {
        uint64_t len = 0;
        const char* s = plist_get_string_ptr(node, &len);
        if (!s)
            return QVariant(QString());
        // Strings are written back as C strings: what follows a NUL would be lost at the next
        // save, so it is not taken in the first place.
        return QVariant(QString::fromUtf8(s, qsizetype(strnlen(s, size_t(len)))));
    }
    case PLIST_UINT: {
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        return QVariant(qint64(u));
    }
    case PLIST_UID: {
        uint64_t u = 0;
        plist_get_uid_val(node, &u);
        return QVariant(qint64(u));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return QVariant(d);
    }
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return QVariant(b != 0);
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return QVariant(referenceDate().addMSecs(qint64(sec) * 1000 + usec / 1000));
    }
    case PLIST_DATA: {
        uint64_t len = 0;
        const char* p = plist_get_data_ptr(node, &len);
        return QVariant(p ? QByteArray(p, qsizetype(len)) : QByteArray());
    }
    default:
        return std::nullopt;
    }
}

plist_t fromVariant(const QVariant& v);

plist_t dateNode(const QDateTime& dt) {
    qint64 ms = referenceDate().msecsTo(dt.toUTC());
    // The library keeps seconds in 32 bits (1933..2069); clamp instead of wrapping.
    constexpr qint64 lo = qint64(std::numeric_limits<int32_t>::min()) * 1000;
    constexpr qint64 hi = qint64(std::numeric_limits<int32_t>::max()) * 1000;
    ms = std::clamp(ms, lo, hi);
    qint64 sec = ms / 1000;
    qint64 rest = ms % 1000;
    if (rest < 0) {
        rest += 1000;
        sec -= 1;
    }
    if (sec < std::numeric_limits<int32_t>::min()) {
        sec = std::numeric_limits<int32_t>::min();
        rest = 0;
    }
    return plist_new_date(int32_t(sec), int32_t(rest * 1000));
}

plist_t fromVariant(const QVariant& v) {
    switch (v.typeId()) {
    case QMetaType::Bool:
        return plist_new_bool(v.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::Char:
    case QMetaType::SChar:
        return plist_new_uint(uint64_t(v.toLongLong()));
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return plist_new_uint(v.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return plist_new_real(v.toDouble());
    case QMetaType::QString:
        return plist_new_string(v.toString().toUtf8().constData());
    case QMetaType::QByteArray: {
        const QByteArray b = v.toByteArray();
        return plist_new_data(b.constData(), uint64_t(b.size()));
    }
    case QMetaType::QDateTime:
        return dateNode(v.toDateTime());
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash: {
        plist_t dict = plist_new_dict();
        const QVariantMap map = v.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            // A property list has no null; an absent value is simply not written.
            if (it.value().isValid())
                plist_dict_set_item(dict, it.key().toUtf8().constData(), fromVariant(it.value()));
        }
        return dict;
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        plist_t array = plist_new_array();
        const QVariantList list = v.toList();
        for (const QVariant& item : list) {
            if (item.isValid())
                plist_array_append_item(array, fromVariant(item));
        }
        return array;
    }
    default:
        return plist_new_string(v.toString().toUtf8().constData());
    }
}

// The XML document inside bytes: from the first "<?xml" or "<plist" to the end of the last
// "</plist>", which drops a byte-order mark, leading junk and trailing padding.
QByteArray xmlBody(const QByteArray& bytes) {
    qsizetype start = -1;
    for (const char* marker : {"<?xml", "<plist"}) {
        const qsizetype at = bytes.indexOf(marker);
        if (at >= 0 && (start < 0 || at < start))
            start = at;
    }
    if (start < 0)
        return {};
    static const QByteArray endTag("</plist>");
    const qsizetype end = bytes.lastIndexOf(endTag);
    if (end < start)
        return {};
    return bytes.mid(start, end + endTag.size() - start);
}

// Creates folder and its missing parents, each owner-only.
bool makeFolders(const QString& folder) {
    if (QFileInfo(folder).isDir())
        return true;
    const QString parent = QFileInfo(folder).absolutePath();
    if (parent == folder || !makeFolders(parent))
        return false;
    constexpr QFileDevice::Permissions kOwnerOnly =
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    // Another thread may have created it meanwhile.
    return QDir().mkdir(folder, kOwnerOnly) || QFileInfo(folder).isDir();
}

void syncFolder(const QString& folder) {
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
};

QString errorText(int error) {
    char buffer[256];
    return QString::fromLocal8Bit(strerror_r(error, buffer, sizeof buffer));
}

QString notRegularText(mode_t mode) {
    const char* kind = S_ISFIFO(mode)   ? "a FIFO"
                       : S_ISDIR(mode)  ? "a folder"
                       : S_ISCHR(mode)  ? "a character device"
                       : S_ISBLK(mode)  ? "a block device"
                       : S_ISSOCK(mode) ? "a socket"
                                        : "of an unknown kind";
    return QStringLiteral("is %1, not a regular file").arg(QLatin1String(kind));
}

// Names the owner when it is someone else: a file left by a run with sudo belongs to root.
QString deniedText(int error, const struct stat& st) {
    QString text = QStringLiteral("cannot be read: %1").arg(errorText(error));
    if ((error != EACCES && error != EPERM) || st.st_uid == ::geteuid())
        return text;
    passwd pw{};
    passwd* found = nullptr;
    char buffer[1024];
    const QString owner = getpwuid_r(st.st_uid, &pw, buffer, sizeof buffer, &found) == 0 && found
                              ? QString::fromLocal8Bit(found->pw_name)
                              : QString::number(st.st_uid);
    return text + QStringLiteral(" (it belongs to %1, mode %2)")
                      .arg(owner)
                      .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
}

} // namespace

std::optional<QVariant> parse(const QByteArray& bytes, Failure* failure) {
    auto fail = [&](Problem problem, const QString& reason) -> std::optional<QVariant> {
        if (failure)
            *failure = {problem, reason};
        return std::nullopt;
    };
    const QString notAPlist = QStringLiteral("is not a property list");
    if (bytes.size() >= std::numeric_limits<uint32_t>::max())
        return fail(Problem::TooLarge, QStringLiteral("is too large"));
    plist_t root = nullptr;
    bounds::Extent extent;
    if (plist_is_binary(bytes.constData(), uint32_t(bytes.size()))) {
        extent = bounds::measureBinary(bytes);
        if (extent.verdict == bounds::Verdict::Ok)
            plist_from_bin(bytes.constData(), uint32_t(bytes.size()), &root);
    } else {
        // Entities are never expanded, whatever the parser would do with them.
        if (bytes.contains("<!ENTITY"))
            return fail(Problem::Malformed, QStringLiteral("declares entities"));
        const QByteArray xml = xmlBody(bytes);
        if (xml.isEmpty())
            return fail(Problem::Malformed, notAPlist);
        extent = bounds::measureXml(xml);
        if (extent.verdict == bounds::Verdict::Ok)
            plist_from_xml(xml.constData(), uint32_t(xml.size()), &root);
    }
    if (extent.verdict == bounds::Verdict::TooLarge)
        return fail(Problem::TooLarge, extent.why);
    if (extent.verdict == bounds::Verdict::Malformed)
        return fail(Problem::Malformed, extent.why);
    if (!root)
        return fail(Problem::Malformed, notAPlist);
    PlistPtr owner(root);
    std::optional<QVariant> value = toVariant(root, 0);
    if (!value)
        return fail(Problem::Malformed, notAPlist);
    if (failure)
        *failure = {};
    return value;
}

std::optional<QVariantMap> parseDictionary(const QByteArray& bytes, Failure* failure) {
    std::optional<QVariant> v = parse(bytes, failure);
    if (!v)
        return std::nullopt;
    if (v->typeId() != QMetaType::QVariantMap) {
        if (failure)
            *failure = {Problem::NotADictionary, QStringLiteral("holds no dictionary")};
        return std::nullopt;
    }
    return v->toMap();
}

DictionaryFile loadDictionaryFile(const QString& path) {
    DictionaryFile out;
    auto fail = [&](Problem problem, const QString& reason) {
        out.failure = {problem, reason};
        return out;
    };
    const QString tooLarge = QStringLiteral("is %1 bytes, over the %2 MiB limit");
    QByteArray bytes;
    if (path.startsWith(QLatin1Char(':'))) {
        QFile resource(path);
        if (!resource.exists())
            return fail(Problem::Missing, QStringLiteral("does not exist"));
        if (!resource.open(QIODevice::ReadOnly))
            return fail(Problem::Unreadable,
                        QStringLiteral("cannot be read: %1").arg(resource.errorString()));
        if (resource.size() > kMaxFileBytes)
            return fail(Problem::TooLarge,
                        tooLarge.arg(resource.size()).arg(kMaxFileBytes / (1024 * 1024)));
        bytes = resource.readAll();
    } else {
        const QByteArray native = QFile::encodeName(path);
        struct stat st {};
        if (::stat(native.constData(), &st) != 0) {
            const int e = errno;
            if (e == ENOENT)
                return fail(Problem::Missing, QStringLiteral("does not exist"));
            return fail(Problem::Unreadable,
                        QStringLiteral("cannot be read: %1").arg(errorText(e)));
        }
        // Looked at before opening: opening a device can have effects of its own.
        if (!S_ISREG(st.st_mode))
            return fail(Problem::NotRegular, notRegularText(st.st_mode));
        if (st.st_size > kMaxFileBytes)
            return fail(Problem::TooLarge,
                        tooLarge.arg(qint64(st.st_size)).arg(kMaxFileBytes / (1024 * 1024)));
        const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            const int e = errno;
            if (e == ENOENT)
                return fail(Problem::Missing, QStringLiteral("does not exist"));
            return fail(Problem::Unreadable, deniedText(e, st));
        }
        const FdCloser closer{fd};
        // Whatever is there now is what gets read, in case it was swapped since the look.
        if (::fstat(fd, &st) != 0)
            return fail(Problem::Unreadable,
                        QStringLiteral("cannot be read: %1").arg(errorText(errno)));
        if (!S_ISREG(st.st_mode))
            return fail(Problem::NotRegular, notRegularText(st.st_mode));
        // A file still growing is cut off just past the limit rather than read to its end.
        bytes.resize(std::min<qint64>(st.st_size, kMaxFileBytes) + 1);
        qsizetype filled = 0;
        for (;;) {
            if (filled == bytes.size()) {
                if (filled > kMaxFileBytes)
                    return fail(Problem::TooLarge,
                                tooLarge.arg(QStringLiteral("more than %1").arg(kMaxFileBytes))
                                    .arg(kMaxFileBytes / (1024 * 1024)));
                bytes.resize(std::min<qsizetype>(filled * 2, kMaxFileBytes + 1));
            }
            const ssize_t n = ::read(fd, bytes.data() + filled, size_t(bytes.size() - filled));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return fail(Problem::Unreadable,
                            QStringLiteral("cannot be read: %1").arg(errorText(errno)));
            if (n == 0)
                break;
            filled += n;
        }
        bytes.truncate(filled);
    }
    std::optional<QVariantMap> dict = parseDictionary(bytes, &out.failure);
    if (dict)
        out.dictionary = std::move(*dict);
    return out;
}

std::optional<QVariantMap> readDictionaryFile(const QString& path) {
    DictionaryFile file = loadDictionaryFile(path);
    if (file.failure.problem != Problem::None)
        return std::nullopt;
    return std::move(file.dictionary);
}

QByteArray toXml(const QVariant& value) {
    PlistPtr root(fromVariant(value));
    char* xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(root.get(), &xml, &len);
    if (!xml)
        return {};
    QByteArray out(xml, qsizetype(len));
    plist_to_xml_free(xml);
    return out;
}

bool writeXmlFileAtomically(const QString& path, const QVariant& value, QString* error,
                            QFileDevice::Permissions permissions) {
    auto fail = [&](const QString& text) {
        if (error)
            *error = text;
        return false;
    };
    const QByteArray xml = toXml(value);
    if (xml.isEmpty())
        return fail(QStringLiteral("cannot represent the value as a property list"));
    // Shared values read from a binary file can take far more room as XML: a file that could
    // not be read back would cost the user every setting in it.
    if (xml.size() > kMaxFileBytes)
        return fail(QStringLiteral("it would be %1 bytes, over the %2 MiB a file is read up to")
                        .arg(xml.size())
                        .arg(kMaxFileBytes / (1024 * 1024)));

    const QString folder = QFileInfo(path).absolutePath();
    if (!makeFolders(folder))
        return fail(QStringLiteral("cannot create the folder %1").arg(folder));

    // QSaveFile writes a temporary file beside the target, syncs it and renames it over the
    // target on commit; until then the old file stays as it was.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    if (!file.setPermissions(permissions)) {
        file.cancelWriting();
        return fail(file.errorString());
    }
    if (file.write(xml) != xml.size()) {
        const QString why = file.errorString();
        file.cancelWriting();
        return fail(why);
    }
    if (!file.commit())
        return fail(file.errorString());
    syncFolder(folder);
    if (error)
        error->clear();
    return true;
}

} // namespace kivo::plist
