#pragma once
// Desktop notifications (org.freedesktop.Notifications) on the user's session bus. Sending never
// waits: the call is handed to this object's thread, made there asynchronously, and its answer
// arrives later. Where no notification server runs, or there is no session bus to use, nothing
// is shown and one console line says why, once.
#include <QHash>
#include <QObject>
#include <QString>

class QDBusPendingCallWatcher;

namespace kivo {

class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    // The urgency hint's values.
    enum class Urgency : unsigned char { Low = 0, Normal = 1, Critical = 2 };

    struct Notice {
        QString summary;
        QString body; // plain text; escaped here for servers that read markup
        Urgency urgency = Urgency::Normal;
        int expireMs = -1; // -1: the server's default; 0: until dismissed
        // A notice replaces the one shown last with the same tag, so repeats do not pile up.
        QString tag;
    };

    enum class Outcome {
        Shown,    // the server took it
        NoServer, // nobody owns org.freedesktop.Notifications
        NoBus,    // no session bus on a local socket
        Failed,   // the server answered with an error or not in time
    };
    Q_ENUM(Outcome)

    explicit DesktopNotifier(QObject* parent = nullptr);
    ~DesktopNotifier() override;

    // Any thread; returns at once.
    void send(const Notice& notice);

    // How long a server may take to answer before the notice counts as failed.
    static constexpr int kReplyTimeoutMs = 5000;

signals:
    // Once per notice handed to send(), on this object's thread.
    void finished(kivo::DesktopNotifier::Outcome outcome);

private:
    void sendHere(const Notice& notice);
    void notifyServer(const Notice& notice);
    void finish(Outcome outcome, const QString& why);
    // Connects on first use; false when there is no bus to use.
    bool connectOnce();

    QString fConnectionName;
    bool fTriedToConnect = false;
    bool fConnected = false;
    QString fNoBusReason;
    bool fReportedTrouble = false;
    QHash<QString, uint> fShownIds; // by tag
};

} // namespace kivo
