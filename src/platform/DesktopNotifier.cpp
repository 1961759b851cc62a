#include "platform/DesktopNotifier.h"

#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/DBusEventBridge.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>
#include <atomic>

namespace kivo {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

QString nextConnectionName() {
    static std::atomic<int> counter{0};
    return QStringLiteral("kivo-notices-%1").arg(++counter);
}

// Servers that read markup would take a file name holding "<" or "&" for a tag or an entity.
QString escapeMarkup(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('&'))
            out += QStringLiteral("&amp;");
        else if (c == QLatin1Char('<'))
            out += QStringLiteral("&lt;");
        else if (c == QLatin1Char('>'))
            out += QStringLiteral("&gt;");
        else
            out += c;
    }
    return out;
}

} // namespace

DesktopNotifier::DesktopNotifier(QObject* parent)
    : QObject(parent), fConnectionName(nextConnectionName()) {}

DesktopNotifier::~DesktopNotifier() {
    if (fConnected)
        QDBusConnection::disconnectFromBus(fConnectionName);
}

void DesktopNotifier::send(const Notice& notice) {
    // Queued even on this thread: the caller may be in the middle of the pipeline.
    QMetaObject::invokeMethod(
        this, [this, notice] { sendHere(notice); }, Qt::QueuedConnection);
}

bool DesktopNotifier::connectOnce() {
    if (fTriedToConnect)
        return fConnected;
    fTriedToConnect = true;
    const DBusEventBridge::Registration address = DBusEventBridge::sessionBusAddress();
    if (address.outcome != DBusEventBridge::Registration::Outcome::Registered) {
        fNoBusReason =
            address.outcome == DBusEventBridge::Registration::Outcome::Refused
                ? QStringLiteral("the session bus [%1] is not a local socket").arg(address.detail)
                : address.detail;
        return false;
    }
    QDBusConnection bus = QDBusConnection::connectToBus(address.detail, fConnectionName);
    if (!bus.isConnected()) {
        fNoBusReason = bus.lastError().message();
        QDBusConnection::disconnectFromBus(fConnectionName);
        return false;
    }
    fConnected = true;
    return true;
}

void DesktopNotifier::sendHere(const Notice& notice) {
    if (!connectOnce()) {
        finish(Outcome::NoBus, fNoBusReason);
        return;
    }
    // Asked first, so that nothing is sent (and no server is started) where none runs.
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    ask << kService;
    auto* watcher = new QDBusPendingCallWatcher(
        QDBusConnection(fConnectionName).asyncCall(ask, kReplyTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, notice](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                const QDBusPendingReply<bool> owned = *w;
                if (owned.isError())
                    finish(Outcome::Failed, owned.error().message());
                else if (!owned.value())
                    finish(Outcome::NoServer, QStringLiteral("no notification server runs"));
                else
                    notifyServer(notice);
            });
}

void DesktopNotifier::notifyServer(const Notice& notice) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    call.setAutoStartService(false);
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(notice.urgency)));
    hints.insert(QStringLiteral("desktop-entry"), bundle::identifier());
    const uint replaces = notice.tag.isEmpty() ? 0 : fShownIds.value(notice.tag, 0);
    call << bundle::displayName() << replaces << bundle::identifier() << notice.summary
         << escapeMarkup(notice.body) << QStringList() << hints << qint32(notice.expireMs);
    auto* watcher = new QDBusPendingCallWatcher(
        QDBusConnection(fConnectionName).asyncCall(call, kReplyTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, tag = notice.tag](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                const QDBusPendingReply<uint> id = *w;
                if (id.isError()) {
                    finish(Outcome::Failed, id.error().message());
                    return;
                }
                if (!tag.isEmpty())
                    fShownIds.insert(tag, id.value());
                finish(Outcome::Shown, QString());
            });
}

void DesktopNotifier::finish(Outcome outcome, const QString& why) {
    if (outcome != Outcome::Shown && !fReportedTrouble) {
        fReportedTrouble = true;
        consoleLine(
            QStringLiteral("Desktop notifications are not shown (%1); nothing else is affected")
                .arg(why));
    }
    emit finished(outcome);
}

} // namespace kivo
