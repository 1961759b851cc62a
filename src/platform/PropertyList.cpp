#include "platform/PropertyList.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>
#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <plist/plist.h>
#include <unistd.h>

namespace kivo::plist {

namespace {

// Deeper nesting than this is refused rather than risking the stack in the conversion.
constexpr int kMaxDepth = 512;
// Settings and message files are small; anything larger is not one of ours.
constexpr qint64 kMaxFileSize = 64 * 1024 * 1024;

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
        return QVariant(QString::fromUtf8(s, qsizetype(len)));
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

} // namespace

std::optional<QVariant> parse(const QByteArray& bytes) {
    if (bytes.size() >= std::numeric_limits<uint32_t>::max())
        return std::nullopt;
    plist_t root = nullptr;
    if (plist_is_binary(bytes.constData(), uint32_t(bytes.size()))) {
        plist_from_bin(bytes.constData(), uint32_t(bytes.size()), &root);
    } else {
        // Entities are never expanded, whatever the parser would do with them.
        if (bytes.contains("<!ENTITY"))
            return std::nullopt;
        const QByteArray xml = xmlBody(bytes);
        if (xml.isEmpty())
            return std::nullopt;
        plist_from_xml(xml.constData(), uint32_t(xml.size()), &root);
    }
    if (!root)
        return std::nullopt;
    PlistPtr owner(root);
    return toVariant(root, 0);
}

std::optional<QVariantMap> parseDictionary(const QByteArray& bytes) {
    std::optional<QVariant> v = parse(bytes);
    if (!v || v->typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    return v->toMap();
}

std::optional<QVariantMap> readDictionaryFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || f.size() > kMaxFileSize)
        return std::nullopt;
    const QByteArray bytes = f.readAll();
    if (f.error() != QFileDevice::NoError)
        return std::nullopt;
    return parseDictionary(bytes);
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
