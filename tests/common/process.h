#pragma once

// Runs an executable to its end without a nested event loop: output, exit code, time taken.
// Per-user folders and HOME point at a temporary folder, so no run touches the real ones. A
// simulator process; the tool run as a user who is not root.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

#include <csignal>
#include <unistd.h>

namespace vell::test {

struct Run
{
    int exitCode = -1; ///< -1: did not end in time; -2: crashed
    QStringList out;   ///< stdout lines
    QString err;
    qint64 ms = 0;
};

/// unset: variables the process finds not set at all.
inline void prepare(QProcess &process, const QString &home, const QStringList &unset = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *v : {"HOME", "TMPDIR", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME",
                          "XDG_RUNTIME_DIR"})
        env.insert(QString::fromLatin1(v), home);
    for (const QString &v : unset)
        env.remove(v);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(home);
}

inline Run run(const QString &program, const QStringList &arguments, const QString &home,
               int budgetMs = 30000, const QStringList &unset = {})
{
    QProcess process;
    prepare(process, home, unset);
    QSignalSpy finished(&process, &QProcess::finished);
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    Run result;
    if (!finished.wait(budgetMs)) {
        process.kill();
        finished.wait(5000);
        return result;
    }
    result.ms = clock.elapsed();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    result.out =
        QString::fromUtf8(process.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

/// Read, write and search for everyone.
const auto kEveryone = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther |
                       QFile::WriteOther | QFile::ExeOther;

/// How to run the tool as a user who is not root: a copy of it in bin (a build tree may be
/// private), made open to all, run as nobody (uid 65534) as root. Empty when it cannot be.
inline QStringList notRoot(const QString &bin, const QString &tool)
{
    const QString app = QDir(bin).filePath("vell-usb-programmer");
    const QString setpriv = QStandardPaths::findExecutable("setpriv");
    if (!QFile::setPermissions(bin, kEveryone) || !QFile::copy(tool, app))
        return {};
    if (::geteuid() != 0)
        return {app};
    if (setpriv.isEmpty())
        return {};
    return {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups", "--", app};
}

/// The simulator's executable (VELL_SIM_BIN, set by CTest).
inline QString sim()
{
    return qEnvironmentVariable("VELL_SIM_BIN");
}

/// A vell-programmer-sim process with programmers COMn (switches each) in ports, running.
struct Simulator
{
    Simulator(const QString &home, const QString &ports, const QStringList &programmers,
              const QStringList &extra = {})
    {
        QSignalSpy ready(&process, &QProcess::readyReadStandardOutput);
        prepare(process, home);
        process.start(sim(), QStringList{"--ports", ports} + extra + programmers);
        while (lines.count('\n') < programmers.size() && ready.wait(5000))
            lines += process.readAllStandardOutput();
    }
    ~Simulator()
    {
        QSignalSpy finished(&process, &QProcess::finished);
        process.terminate();
        if (process.state() != QProcess::NotRunning)
            finished.wait(5000);
    }
    QProcess process;
    QByteArray lines;
};

/// Sends sig to process while it runs. A process that has ended has no id (0), and kill(0)
/// would signal this test's whole process group: ctest and whatever started it.
inline bool signal(const QProcess &process, int sig)
{
    const qint64 pid = process.processId();
    return pid > 0 && ::kill(pid_t(pid), sig) == 0;
}

} // namespace vell::test
