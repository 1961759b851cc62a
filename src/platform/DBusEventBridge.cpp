#include "platform/DBusEventBridge.h"

#include "platform/Console.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QFileInfo>
#include <QUrl>
#include <QtGlobal>

namespace kivo {

namespace {

const QString kObjectPath = QStringLiteral("/");
const QString kConnectionName = QStringLiteral("kivo-scripting");

// Where the system bus listens unless told otherwise; a session address naming it is refused.
QStringList systemBusSockets() {
    QStringList paths{QStringLiteral("/var/run/dbus/system_bus_socket"),
                      QStringLiteral("/run/dbus/system_bus_socket")};
    const QString configured = qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS");
    for (const QString& entry : configured.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const qsizetype at = entry.indexOf(QLatin1String("path="));
        if (at >= 0)
            paths << QUrl::fromPercentEncoding(
                entry.mid(at + 5).section(QLatin1Char(','), 0, 0).toUtf8());
    }
    return paths;
}

bool sameFile(const QString& a, const QString& b) {
    const QString ca = QFileInfo(a).canonicalFilePath();
    return a == b || (!ca.isEmpty() && ca == QFileInfo(b).canonicalFilePath());
}

// Bytes that may stand unescaped in a D-Bus address value.
QString escapeAddressValue(const QString& value) {
    return QString::fromLatin1(value.toUtf8().toPercentEncoding("/.*", "~"));
}

} // namespace

DBusEventBridge::DBusEventBridge(Handler handler, QString refusedReply, QObject* parent)
    : QObject(parent), fHandler(std::move(handler)), fRefusedReply(std::move(refusedReply)) {}

DBusEventBridge::~DBusEventBridge() {
    if (fConnectionName.isEmpty())
        return;
    QDBusConnection bus(fConnectionName);
    if (fExported)
        bus.unregisterObject(kObjectPath);
    if (!fServiceName.isEmpty())
        bus.unregisterService(fServiceName);
    QDBusConnection::disconnectFromBus(fConnectionName);
}

bool DBusEventBridge::isLocalSessionAddress(const QString& address) {
    const QStringList entries = address.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    if (entries.isEmpty())
        return false;
    const QStringList systemSockets = systemBusSockets();
    for (const QString& entry : entries) {
        // tcp:, nonce-tcp:, unixexec:, autolaunch: and the rest are never used.
        if (!entry.startsWith(QLatin1String("unix:")))
            return false;
        for (const QString& pair : entry.mid(5).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            if (!pair.startsWith(QLatin1String("path=")))
                continue;
            const QString path = QUrl::fromPercentEncoding(pair.mid(5).toUtf8());
            for (const QString& system : systemSockets)
                if (sameFile(path, system))
                    return false;
        }
    }
    return true;
}

DBusEventBridge::Registration DBusEventBridge::sessionBusAddress() {
    Registration r;
    QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    if (address.isEmpty()) {
        // Where a per-user bus listens on systemd desktops when nothing names it.
        const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
        const QString socket = runtime + QStringLiteral("/bus");
        if (runtime.isEmpty() || QFileInfo(socket).isDir() || !QFileInfo::exists(socket)) {
            r.detail = QStringLiteral("DBUS_SESSION_BUS_ADDRESS is not set");
            return r;
        }
        address = QStringLiteral("unix:path=") + escapeAddressValue(socket);
    }
    r.detail = address;
    r.outcome = isLocalSessionAddress(address) ? Registration::Outcome::Registered
                                               : Registration::Outcome::Refused;
    return r;
}

DBusEventBridge::Registration DBusEventBridge::registerOnSessionBus(const QString& serviceName) {
    Registration r = sessionBusAddress();
    if (r.outcome != Registration::Outcome::Registered)
        return r;
    const QString address = r.detail;
    QDBusConnection bus = QDBusConnection::connectToBus(address, kConnectionName);
    fConnectionName = kConnectionName;
    if (!bus.isConnected()) {
        r.outcome = Registration::Outcome::NoBus;
        r.detail = bus.lastError().message();
        QDBusConnection::disconnectFromBus(kConnectionName);
        fConnectionName.clear();
        return r;
    }
    if (!bus.registerObject(kObjectPath, this, QDBusConnection::ExportAllSlots)) {
        r.outcome = Registration::Outcome::Failed;
        r.detail = bus.lastError().isValid() ? bus.lastError().message()
                                             : QStringLiteral("the object path is taken");
        return r;
    }
    fExported = true;
    if (!bus.registerService(serviceName)) {
        r.outcome = Registration::Outcome::NameTaken;
        r.detail = bus.lastError().message();
        return r;
    }
    fServiceName = serviceName;
    r.outcome = Registration::Outcome::Registered;
    return r;
}

QDBusVariant DBusEventBridge::HandleEvent(const QString& eventClass, const QString& eventID,
                                          const QStringList& directObject) {
    bool fits = directObject.size() <= kMaxItems && eventClass.size() <= kMaxItemChars &&
                eventID.size() <= kMaxItemChars;
    for (const QString& item : directObject)
        fits = fits && item.size() <= kMaxItemChars;
    if (!fits || !fHandler) {
        consoleLine(QStringLiteral("Refused a scripting call of %1 items: more than %2 items, or "
                                   "an item over %3 characters")
                        .arg(directObject.size())
                        .arg(kMaxItems)
                        .arg(kMaxItemChars));
        return QDBusVariant(fRefusedReply);
    }
    Call call{eventClass, eventID, directObject, true};
    if (calledFromDBus())
        call.wantsReply = message().isReplyRequired();
    const QVariant reply = fHandler(call);
    return QDBusVariant(reply.isValid() ? reply : QVariant(QString()));
}

} // namespace kivo
