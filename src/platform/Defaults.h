#pragma once
// The per-user settings store: argument domain > user values > registered defaults.
// Typed reads follow the desktop defaults-store rules. Thread-safe for single-key use.
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace kivo {

class Defaults {
public:
    // What became of the settings file when the store was made.
    struct LoadReport {
        enum class Outcome {
            Loaded,     // read
            Missing,    // none yet; the first save creates it
            Unreadable, // cannot be read (permissions, I/O): left in place
            NotRegular, // a FIFO, device or folder: left alone
            TooLarge,   // over the size limit or expanding beyond the parse bounds
            Corrupt,    // not a property-list dictionary
        };
        Outcome outcome = Outcome::Missing;
        QString path;
        // TooLarge and Corrupt files are moved here; empty when the move failed (the file
        // then stays where it was, and is not saved over either).
        QString movedTo;
        // The console and status-line text; empty for Loaded and Missing.
        QString text;
        // False when this run must never write to path: the file there could not be read
        // and may hold settings the user wants back.
        bool saves = true;

        bool isProblem() const { return outcome != Outcome::Loaded && outcome != Outcome::Missing; }
    };

    // The process-wide store, persisted at Defaults::standardPath(). Never destroyed.
    static Defaults& standard();
    // "$XDG_CONFIG_HOME/<bundle identifier>.plist" (XDG_CONFIG_HOME falls back to ~/.config).
    static QString standardPath();

    // A store over the given file; loads it at once. flushDelayMs < 0 disables the automatic
    // flush after changes (synchronize() still writes).
    explicit Defaults(const QString& path, int flushDelayMs = 1000);
    ~Defaults();
    Defaults(const Defaults&) = delete;
    Defaults& operator=(const Defaults&) = delete;

    // Parses "-key value" pairs into the argument domain. Values that parse as a property-list
    // value are taken as such, else as strings. Returns the arguments that were not consumed.
    QStringList setArgumentDomainFromArguments(const QStringList& args);
    void setArgumentDomain(const QVariantMap& values);
    void registerDefaults(const QVariantMap& values);

    QVariant objectForKey(const QString& key) const; // invalid QVariant when absent
    std::optional<QString> stringForKey(const QString& key) const;
    bool boolForKey(const QString& key) const;
    qint64 integerForKey(const QString& key) const;
    double doubleForKey(const QString& key) const;
    float floatForKey(const QString& key) const { return float(doubleForKey(key)); }

    void setObject(const QString& key, const QVariant& value); // invalid value removes the key
    void setBool(const QString& key, bool v) { setObject(key, QVariant(v)); }
    void setInteger(const QString& key, qint64 v) { setObject(key, QVariant(v)); }
    void setDouble(const QString& key, double v) { setObject(key, QVariant(v)); }
    void setString(const QString& key, const QString& v) { setObject(key, QVariant(v)); }
    void removeObject(const QString& key) { setObject(key, QVariant()); }

    QVariantMap userValues() const;
    QVariantMap registeredDefaults() const;
    QVariantMap argumentDomain() const;

    // Writes the user layer now (atomically). False when the write failed, or when the file
    // found at start must be left alone (loadReport().saves is false).
    bool synchronize();

    // Called after each write of key, on the writing thread, outside the store's lock.
    // Returns an id for removeObserver.
    int addObserver(const QString& key, std::function<void(const QString& key)> fn);
    void removeObserver(int id);

    QString path() const { return fPath; }
    // Set once by the constructor.
    const LoadReport& loadReport() const { return fLoad; }

    // Typed-read rules, shared with anything that must read values like the store does.
    static bool boolFromValue(const QVariant& v);
    static qint64 integerFromValue(const QVariant& v);
    static double doubleFromValue(const QVariant& v);
    static std::optional<QString> stringFromValue(const QVariant& v);
    // An argument-domain text as a property-list value when it parses as one, else the text.
    static QVariant valueFromArgumentText(const QString& text);

private:
    void load();
    QString moveAside(QString* error) const;
    void scheduleFlush();
    void flushLoop();

    QString fPath;
    int fFlushDelayMs;
    LoadReport fLoad;
    std::atomic<bool> fToldNotSaving{false};
    mutable std::mutex fLock;
    QVariantMap fArgs, fUser, fRegistered;
    bool fDirty = false;
    quint64 fChangeCount = 0; // the flusher writes once this has been still for fFlushDelayMs
    std::chrono::steady_clock::time_point fLastChange;
    bool fStopping = false;
    std::condition_variable fFlushCv;
    std::thread fFlusher;
    std::mutex fWriteLock; // serialises file writes

    struct Observer {
        int id;
        QString key;
        std::shared_ptr<std::function<void(const QString&)>> fn;
    };
    std::mutex fObserverLock;
    std::vector<Observer> fObservers;
    int fNextObserverId = 1;
};

} // namespace kivo
