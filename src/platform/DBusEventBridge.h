#pragma once
// The scripting entry on the user's session bus: one method, HandleEvent(s, s, as) -> v, whose
// calls are handed to a handler on the object's (main) thread. Knows nothing of what the
// events mean.
#include <QDBusContext>
#include <QDBusVariant>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>

namespace kivo {

class DBusEventBridge : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.quandril.KivoUploader.Events")
public:
    // Larger calls are answered with refusedReply and never reach the handler.
    static constexpr int kMaxItems = 16;
    static constexpr qsizetype kMaxItemChars = 64 * 1024;

    struct Call {
        QString eventClass;
        QString eventID;
        QStringList directObject;
        bool wantsReply = true; // false for calls sent without expecting an answer
    };
    // The reply: a string, a string list, or a list of those (nested once). An invalid
    // QVariant answers with an empty string, since the method always returns a value.
    using Handler = std::function<QVariant(const Call&)>;

    struct Registration {
        enum class Outcome {
            Registered, // object exported and the name owned
            NameTaken,  // object exported; the name belongs to another process
            NoBus,      // no session bus to be had
            Refused,    // the session bus address is not a local socket of this machine
            Failed,     // connected, but the object could not be exported
        };
        Outcome outcome = Outcome::NoBus;
        QString detail; // the address or the bus's error text
    };

    DBusEventBridge(Handler handler, QString refusedReply, QObject* parent = nullptr);
    ~DBusEventBridge() override;

    // Connects to the session bus named by DBUS_SESSION_BUS_ADDRESS (or $XDG_RUNTIME_DIR/bus),
    // exports this object at "/" and asks for serviceName. Only unix-socket addresses are used.
    Registration registerOnSessionBus(const QString& serviceName);

    // Whether an address (possibly a ";"-separated list) names only local unix sockets and not
    // the system bus.
    static bool isLocalSessionAddress(const QString& address);

    // The session bus this program may use: DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus,
    // and only when it names local sockets. Outcome NoBus or Refused when there is none to use;
    // Registered (with the address in detail) when there is.
    static Registration sessionBusAddress();

public slots:
    QDBusVariant HandleEvent(const QString& eventClass, const QString& eventID,
                             const QStringList& directObject);

private:
    Handler fHandler;
    QString fRefusedReply;
    QString fConnectionName;
    QString fServiceName;
    bool fExported = false;
};

} // namespace kivo
