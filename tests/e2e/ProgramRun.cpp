#include "ProgramRun.h"

#include "fixtures/Fixtures.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <csignal>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace kivo::test {

namespace {
QByteArray hashOf(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(&f);
    return h.result();
}
} // namespace

ProgramRun::ProgramRun() : fRoot(makeTempFolder("run")) {
    for (const char* sub : {"/source", "/mirror", "/home/.config", "/home/.local/state",
                            "/home/.local/share", "/run"})
        QDir().mkpath(fRoot + sub);
    QFile::setPermissions(fRoot + "/run",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

ProgramRun::~ProgramRun() {
    stop();
    endStrays();
}

void ProgramRun::endStrays() {
    const QByteArray marker = fRoot.toUtf8();
    for (int round = 0; round < 2; ++round) {
        bool found = false;
        for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
            bool numeric = false;
            const int n = pid.toInt(&numeric);
            if (!numeric || n == int(::getpid()))
                continue;
            const QByteArray cmdline = readFile("/proc/" + pid + "/cmdline");
            if (cmdline.contains(marker) && cmdline.contains("KivoUploader")) {
                ::kill(n, round == 0 ? SIGTERM : SIGKILL);
                found = true;
            }
        }
        if (!found)
            return;
        waitUntil([] { return false; }, 1000);
    }
}

bool ProgramRun::isRunning() const {
    return fProcess && fProcess->state() != QProcess::NotRunning;
}

qint64 ProgramRun::processId() const {
    return fProcess ? fProcess->processId() : 0;
}

void ProgramRun::kill() {
    if (isRunning()) {
        fProcess->kill();
        fProcess->waitForFinished(5000);
    }
}

QStringList ProgramRun::makePhotos(int count, const QStringList& clients, int firstNumber) {
    QStringList made;
    for (int i = firstNumber; i < firstNumber + count; ++i) {
        const QString client = clients.at((i - firstNumber) % clients.size());
        const QString rel =
            QStringLiteral("%1/IMG_%2.jpg").arg(client).arg(i, 4, 10, QLatin1Char('0'));
        fixtures::PhotoSpec shot;
        shot.size = QSize(320, 240);
        shot.seed = i;
        shot.metadata = fixtures::sampleMetadata(client, i);
        if (!fixtures::writeJpeg(source() + "/" + rel, shot))
            continue;
        fHashes.insert(rel, hashOf(source() + "/" + rel));
        made << rel;
    }
    return made;
}

bool ProgramRun::start(const QString& serviceUrl, const QStringList& extraSettings) {
    return startWith(serviceUrl, extraSettings, {source()});
}

QProcessEnvironment ProgramRun::environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", fRoot + "/home");
    env.insert("XDG_CONFIG_HOME", fRoot + "/home/.config");
    env.insert("XDG_STATE_HOME", fRoot + "/home/.local/state");
    env.insert("XDG_DATA_HOME", fRoot + "/home/.local/share");
    env.insert("XDG_RUNTIME_DIR", fRoot + "/run");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    for (auto it = fExtraEnvironment.cbegin(); it != fExtraEnvironment.cend(); ++it)
        env.insert(it.key(), it.value());
    return env;
}

QStringList ProgramRun::argumentsFor(const QString& serviceUrl, const QStringList& extraSettings,
                                     const QStringList& plainArguments) const {
    return QStringList{"-prefLocalSourceUploadFolder",
                       source(),
                       "-prefLocalMasterMirrorSiteFolder",
                       mirror(),
                       "-userLoginName",
                       "demo",
                       "-userLoginPassword",
                       "secret",
                       "-userEnteredEventName",
                       "Gala",
                       "-prefGlvURL",
                       serviceUrl,
                       "-prefAutoSynchronize",
                       "NO"} +
           extraSettings + plainArguments;
}

QString ProgramRun::programPath() {
    return QFileInfo(RefService::executablePath()).path() + "/KivoUploader";
}

bool ProgramRun::startWith(const QString& serviceUrl, const QStringList& extraSettings,
                           const QStringList& plainArguments,
                           const std::function<void()>& childModifier) {
    fProcess = std::make_unique<QProcess>();
    fProcess->setProcessEnvironment(environment());
    fProcess->setProcessChannelMode(QProcess::MergedChannels);
    fProcess->setStandardOutputFile(fRoot + "/console.txt");
    if (childModifier)
        fProcess->setChildProcessModifier(childModifier);
    fProcess->start(programPath(), argumentsFor(serviceUrl, extraSettings, plainArguments));
    return fProcess->waitForStarted(10000);
}

bool ProgramRun::startSubjectToFilePermissions(const QString& serviceUrl) {
    // Root gets its capabilities back from the bounding set at exec; without the right to
    // change it (not root) file modes apply anyway.
    return startWith(serviceUrl, {}, {source()}, [] {
        ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
        ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
    });
}

bool ProgramRun::startWithTerminationPending(const QString& serviceUrl) {
    // Both the mask and the pending signal survive exec.
    return startWith(serviceUrl, {}, {source()}, [] {
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        ::sigprocmask(SIG_BLOCK, &term, nullptr);
        ::kill(::getpid(), SIGTERM);
    });
}

std::unique_ptr<QProcess> ProgramRun::startAnother(const QString& serviceUrl,
                                                   const QStringList& extraSettings,
                                                   const QStringList& plainArguments) const {
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment());
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->start(programPath(), argumentsFor(serviceUrl, extraSettings, plainArguments));
    return process;
}

ProgramRun::Ended ProgramRun::runAnother(const QString& serviceUrl,
                                         const QStringList& extraSettings,
                                         const QStringList& plainArguments, int timeoutMs) const {
    Ended ended;
    std::unique_ptr<QProcess> process = startAnother(serviceUrl, extraSettings, plainArguments);
    if (!process->waitForStarted(10000))
        return ended;
    ended.finished = process->waitForFinished(timeoutMs);
    if (!ended.finished) {
        process->kill();
        process->waitForFinished(5000);
    }
    ended.exitCode = process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    ended.output = process->readAll();
    return ended;
}

bool ProgramRun::stop(int graceMs) {
    if (!fProcess || fProcess->state() == QProcess::NotRunning)
        return fProcess && fProcess->exitStatus() == QProcess::NormalExit &&
               fProcess->exitCode() == 0;
    ::kill(pid_t(fProcess->processId()), SIGTERM);
    if (!fProcess->waitForFinished(graceMs)) {
        fProcess->kill();
        fProcess->waitForFinished(5000);
        return false;
    }
    return fProcess->exitStatus() == QProcess::NormalExit && fProcess->exitCode() == 0;
}

QByteArray ProgramRun::console() const {
    QByteArray all = readFile(fRoot + "/console.txt");
    const QString logs = fRoot + "/home/.local/state/Kivo";
    for (const QString& name : QDir(logs).entryList({"*.log"}, QDir::Files, QDir::Name))
        all += readFile(logs + "/" + name);
    return all;
}

QString ProgramRun::whereIs(const QString& relativePath) const {
    const QByteArray expected = fHashes.value(relativePath);
    QStringList places;
    bool whole = true;
    auto check = [&](const QString& path, const char* place) {
        if (QFileInfo(path).isFile()) {
            places << place;
            whole = whole && hashOf(path) == expected;
        }
    };
    check(source() + "/" + relativePath, "source");
    check(mirror() + "/" + relativePath, "mirror");
    // A refused photo may carry a time stamp when its name was taken.
    const QFileInfo rel(relativePath);
    const QString folder = problem() + "/" + rel.path();
    const QStringList candidates =
        QDir(folder).entryList({rel.completeBaseName() + "*." + rel.suffix()}, QDir::Files);
    for (const QString& name : candidates)
        check(folder + "/" + name, "problem");
    return places.size() == 1 && whole ? places.front() : QString();
}

bool ProgramRun::allFiled() const {
    for (auto it = fHashes.cbegin(); it != fHashes.cend(); ++it) {
        const QString where = whereIs(it.key());
        if (where != "mirror" && where != "problem")
            return false;
    }
    return true;
}

} // namespace kivo::test
