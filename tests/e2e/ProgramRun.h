#pragma once
// Runs the real KivoUploader (offscreen) against the reference service, in private folders.
#include "support/RefService.h"
#include "support/TestSupport.h"

#include <QMap>
#include <QProcess>
#include <QStringList>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

namespace kivo::test {

class ProgramRun {
public:
    ProgramRun();
    ~ProgramRun();

    QString root() const { return fRoot; }
    QString source() const { return fRoot + "/source"; }
    QString mirror() const { return fRoot + "/mirror"; }
    QString problem() const { return fRoot + "/Problem Folder"; }

    // Photos with metadata under source()/<client>/, named IMG_0001.jpg...; returns their
    // relative paths. Hashes are kept to check later that every photo is still whole.
    QStringList makePhotos(int count, const QStringList& clients = {"Smith", "Garcia"},
                           int firstNumber = 1);
    // Adds to the environment of the programs this run starts from now on.
    void setEnvironment(const QString& name, const QString& value) {
        fExtraEnvironment[name] = value;
    }
    // Starts the program with the service's URL and extra "-key value" settings.
    bool start(const QString& serviceUrl, const QStringList& extraSettings = {});
    // As start(), with plainArguments in place of the source folder (none: the program idles);
    // childModifier runs in the child before exec.
    bool startWith(const QString& serviceUrl, const QStringList& extraSettings,
                   const QStringList& plainArguments,
                   const std::function<void()>& childModifier = {});
    // As start(), with the program held to file modes even when the tests run as root (it
    // starts without CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH).
    bool startSubjectToFilePermissions(const QString& serviceUrl);
    // As start(), with SIGTERM already pending, and blocked, when the program begins: a quit
    // asked for before the program could act on it.
    bool startWithTerminationPending(const QString& serviceUrl);
    // A further start of the program with this run's environment and settings, plainArguments
    // in place of the source folder. Standard output and error are merged on its channel.
    std::unique_ptr<QProcess> startAnother(const QString& serviceUrl,
                                           const QStringList& extraSettings,
                                           const QStringList& plainArguments) const;
    struct Ended {
        bool finished = false;
        int exitCode = -1;
        QByteArray output;
    };
    // startAnother() and wait for it to end.
    Ended runAnother(const QString& serviceUrl, const QStringList& extraSettings,
                     const QStringList& plainArguments, int timeoutMs = 30000) const;
    // SIGTERM; true when the program ended cleanly by itself.
    bool stop(int graceMs = 10000);
    // Standard output and the daily log files (standard error goes there).
    QByteArray console() const;
    // Whether the program started by start() is still running.
    bool isRunning() const;
    // The process id of the program started by start(), 0 when there is none.
    qint64 processId() const;
    // SIGKILL, as a crash or power cut would end it.
    void kill();

    // Where relativePath is now: "source", "mirror", "problem" (any stamped name), or "" when
    // it is in none of them or in more than one, or not whole (bytes differ).
    QString whereIs(const QString& relativePath) const;
    // True when every photo made is whole in exactly one place and none is in the source.
    bool allFiled() const;

private:
    QProcessEnvironment environment() const;
    QStringList argumentsFor(const QString& serviceUrl, const QStringList& extraSettings,
                             const QStringList& plainArguments) const;
    static QString programPath();
    // Ends every program still running on this run's folders (a relaunched one included).
    void endStrays();

    QString fRoot;
    std::unique_ptr<QProcess> fProcess;
    QMap<QString, QByteArray> fHashes;
    QMap<QString, QString> fExtraEnvironment;
};

// A program run and a reference service with the run's account, started for each test.
class ProgramWithService : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.start(makeTempFolder("service"), "demo", "secret"))
            << service.errorString().toStdString();
    }
    RefService service;
    ProgramRun run;
};

} // namespace kivo::test
