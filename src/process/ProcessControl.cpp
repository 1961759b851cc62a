#include "process/ProcessControl.h"

#include "platform/Beep.h"
#include "platform/Bundle.h"
#include "platform/Console.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMetaType>
#include <QObject>
#include <QProcess>
#include <atomic>
#include <mutex>
#include <unistd.h>

namespace kivo {

namespace {

struct TaskResult {
    bool started = false;
    bool succeeded = false;
    QByteArray output;
    QString error;
};

// Runs a child with its standard output on a pipe and everything else inherited. The pipe is
// emptied while waiting, so a child with a lot to say never blocks on it. The QProcess lives
// on the calling thread and is only driven by its blocking waits.
TaskResult runTask(const QString& path, const QStringList& args) {
    TaskResult r;
    QProcess p;
    p.setProgram(path);
    p.setArguments(args);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.setInputChannelMode(QProcess::ForwardedInputChannel);
    p.start(QIODevice::ReadOnly);
    if (!p.waitForStarted(-1)) {
        r.error = p.errorString();
        return r;
    }
    r.started = true;
    while (!p.waitForFinished(100)) {
        if (p.state() == QProcess::NotRunning)
            break;
        r.output += p.readAllStandardOutput();
    }
    r.output += p.readAllStandardOutput();
    r.succeeded = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return r;
}

std::mutex gArgumentsLock;
std::optional<QStringList> gArguments;
std::atomic<bool> gTerminating{false};

QObject* objectIn(const QVariant& v) {
    if (!v.isValid() || !(v.metaType().flags() & QMetaType::PointerToQObject))
        return nullptr;
    return v.value<QObject*>();
}

QString describeList(const QStringList& items) {
    QStringList quoted;
    for (const QString& s : items) {
        const bool plain = !s.isEmpty() && !s.contains(QLatin1Char(' ')) &&
                           !s.contains(QLatin1Char(',')) && !s.contains(QLatin1Char('"'));
        quoted << (plain ? s : QLatin1Char('"') + s + QLatin1Char('"'));
    }
    return QLatin1Char('(') + quoted.join(QStringLiteral(", ")) + QLatin1Char(')');
}

} // namespace

QString describeValue(const QVariant& value) {
    if (!value.isValid() || value.isNull())
        return QStringLiteral("(null)");
    if (value.metaType().flags() & QMetaType::PointerToQObject) {
        QObject* o = value.value<QObject*>();
        if (!o)
            return QStringLiteral("(null)");
        return QStringLiteral("<%1: 0x%2>")
            .arg(QLatin1String(o->metaObject()->className()))
            .arg(quintptr(o), 0, 16);
    }
    const int type = value.metaType().id();
    if (type == QMetaType::QVariantMap || type == QMetaType::QVariantHash) {
        const QVariantMap m = value.toMap();
        QString text = QStringLiteral("{");
        for (auto it = m.cbegin(); it != m.cend(); ++it)
            text += QStringLiteral("%1 = %2; ").arg(it.key(), describeValue(it.value()));
        if (text.endsWith(QLatin1Char(' ')))
            text.chop(1);
        return text + QLatin1Char('}');
    }
    if (type == QMetaType::QStringList)
        return describeList(value.toStringList());
    if (type == QMetaType::QVariantList) {
        QStringList parts;
        for (const QVariant& v : value.toList())
            parts << describeValue(v);
        return QLatin1Char('(') + parts.join(QStringLiteral(", ")) + QLatin1Char(')');
    }
    if (value.canConvert<QString>())
        return value.toString();
    return QStringLiteral("<%1>").arg(QLatin1String(value.typeName()));
}

std::optional<QString> runShellScript2(const QString& path, const QStringList& args) {
    if (path.isEmpty()) {
        consoleLine(QStringLiteral("\n\nrunShellScript2 FAILED => scriptName==nil!\n\n"));
        return std::nullopt;
    }
    consoleLine(QStringLiteral("runShellScript2 => scriptName = [%1]").arg(path));
    if (args.isEmpty())
        consoleLine(QStringLiteral("runShellScript2 => NO param"));
    else
        consoleLine(QStringLiteral("runShellScript2 => param:\n%1").arg(describeList(args)));

    const TaskResult r = runTask(path, args);
    if (!r.started) {
        consoleLine(QStringLiteral("\n\nrunShellScript2 FAILED => UNABLE to start [%1]: %2\n\n")
                        .arg(path, r.error));
        return std::nullopt;
    }
    if (!r.succeeded)
        consoleLine(QStringLiteral("runShellScript2 Task failed."));
    const QString text = QString::fromUtf8(r.output);
    consoleLine(QStringLiteral("runShellScript2 got back:\n%1\n").arg(text));
    return text;
}

bool runShellScript(const QString& name, const QStringList& args) {
    if (name.isEmpty()) {
        consoleLine(QStringLiteral("\n\nrunShellScript FAILED => scriptName==nil!\n\n"));
        return false;
    }
    consoleLine(QStringLiteral("runShellScript => scriptName = [%1]").arg(name));
    if (args.isEmpty())
        consoleLine(QStringLiteral("runShellScript => NO param"));
    else
        consoleLine(QStringLiteral("runShellScript => param = [%1]").arg(describeList(args)));

    const QString path = bundle::helperPath(name);
    if (path.isEmpty()) {
        consoleLine(
            QStringLiteral("\n\nrunShellScript FAILED => UNABLE to find script named: [%1]!\n\n")
                .arg(name));
        return false;
    }
    const TaskResult r = runTask(path, args);
    if (!r.started) {
        consoleLine(QStringLiteral("\n\nrunShellScript FAILED => UNABLE to start [%1]: %2\n\n")
                        .arg(path, r.error));
        return false;
    }
    consoleLine(r.succeeded ? QStringLiteral("Task succeeded.") : QStringLiteral("Task failed."));
    const QString text = QString::fromUtf8(r.output);
    consoleLine(text);
    if (text.contains(QLatin1String("not connected"), Qt::CaseInsensitive)) {
        consoleLine(
            QStringLiteral("\n\nTHERE IS NO INTERNET CONNECTION on ftp shell level...\n\n"));
        return false;
    }
    return true;
}

RelaunchRequest parseRelaunchRequest(const QVariant& request) {
    RelaunchRequest r;
    const int type = request.metaType().id();
    if (type == QMetaType::QVariantMap || type == QMetaType::QVariantHash) {
        const QVariantMap m = request.toMap();
        r.launchFlags = long(m.value(QStringLiteral("LSLaunchFlags")).toLongLong());
        r.sender = objectIn(m.value(QStringLiteral("sender")));
        return r;
    }
    QObject* o = objectIn(request);
    if (o && o->inherits("QAbstractButton"))
        r.sender = o;
    return r;
}

bool startRelaunchHelperFor(const QString& program, qint64 pid, long launchFlags,
                            const QStringList& programArguments, QString* error) {
    const QString helper = bundle::helperPath(QStringLiteral("relaunch"));
    if (helper.isEmpty()) {
        const QString msg = QStringLiteral("UNABLE to find helper named: [relaunch]");
        consoleLine(QStringLiteral("\n\nrelaunch FAILED => %1!\n\n").arg(msg));
        if (error)
            *error = msg;
        return false;
    }
    QStringList args{program, QString::number(pid), QString::number(launchFlags),
                     QStringLiteral("--")};
    args += programArguments;

    QProcess p;
    p.setProgram(helper);
    p.setArguments(args);
    // The helper outlives us; it must not hold on to our terminal input.
    p.setStandardInputFile(QProcess::nullDevice());
    qint64 helperPid = 0;
    if (!p.startDetached(&helperPid)) {
        const QString msg = QStringLiteral("UNABLE to start [%1]: %2").arg(helper, p.errorString());
        consoleLine(QStringLiteral("\n\nrelaunch FAILED => %1!\n\n").arg(msg));
        if (error)
            *error = msg;
        return false;
    }
    consoleLine(QStringLiteral("relaunch => started [%1] (pid %2) with param = [%3]")
                    .arg(helper)
                    .arg(helperPid)
                    .arg(describeList(args)));
    return true;
}

bool startRelaunchHelper(long launchFlags, const QStringList& programArguments, QString* error) {
    const QString program = QCoreApplication::instance()
                                ? QCoreApplication::applicationFilePath()
                                : QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    return startRelaunchHelperFor(program, qint64(getpid()), launchFlags, programArguments, error);
}

void rememberProgramArguments(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    std::lock_guard<std::mutex> g(gArgumentsLock);
    gArguments = args;
}

QStringList programArguments() {
    {
        std::lock_guard<std::mutex> g(gArgumentsLock);
        if (gArguments)
            return *gArguments;
    }
    return QCoreApplication::instance() ? QCoreApplication::arguments().mid(1) : QStringList();
}

bool relaunch(const QVariant& request, const std::function<void(QObject* sender)>& terminate) {
    QCoreApplication* app = QCoreApplication::instance();
    const char* cls = app ? app->metaObject()->className() : "QCoreApplication";
    consoleLine(insideText(cls, "relaunch:") +
                QStringLiteral("info = [%1]").arg(describeValue(request)));

    const RelaunchRequest r = parseRelaunchRequest(request);
    QString error;
    if (!startRelaunchHelper(r.launchFlags, programArguments(), &error)) {
        // Quitting now would leave nothing running to upload; stay up instead.
        consoleLine(QStringLiteral("relaunch => cannot restart (%1); the program keeps running")
                        .arg(error));
        return false;
    }
    if (terminate)
        terminate(r.sender);
    return true;
}

bool terminateApplication(const std::function<bool()>& shouldTerminate) {
    if (gTerminating.exchange(true))
        return false;
    if (shouldTerminate && !shouldTerminate()) {
        gTerminating.store(false);
        return false;
    }
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    return true;
}

bool isTerminating() {
    return gTerminating.load();
}

bool revealItemInFinder(const QString& path) {
    if (!path.isEmpty()) {
        const QString expanded = bundle::expandTilde(path);
        if (QFileInfo(expanded).isDir())
            return runShellScript(QStringLiteral("revealInFinder.sh"), {expanded});
    }
    systemBeep();
    consoleLine(QStringLiteral("User Needs to Select a Valid Existing Folder..."));
    return false;
}

} // namespace kivo
