#pragma once

// Runs an executable to its end without a nested event loop: output, exit code, time taken.
// Per-user folders and HOME point at a temporary folder, so no run touches the real ones.

#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QStringList>
#include <QTemporaryDir>

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

} // namespace vell::test
