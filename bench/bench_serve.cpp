// Service benchmark: a program-target cycle through --control against the station service
// (--serve), beside one headless --program-target run, both on the same simulated programmers
// (COM3 and COM7 of one vell-programmer-sim): what each costs above the programming itself,
// which the records' durations give. Not a test: it prints figures and the goal.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

namespace {

constexpr int kCycles = 10;
constexpr double kOverheadGoal = 0.1; // seconds above the programming

/// Every per-user folder in home, as the tests have them.
void prepare(QProcess &process, const QString &home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *v :
         {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"})
        env.insert(QString::fromLatin1(v), home);
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(home);
}

/// Seconds a run of the tool with arguments takes to its end, when it ends with exit code 0.
std::optional<double> timedRun(const QString &home, const QStringList &arguments)
{
    QProcess run;
    prepare(run, home);
    QElapsedTimer clock;
    clock.start();
    run.start(QStringLiteral(VELL_APP_BIN), arguments);
    if (!run.waitForFinished(60000) || run.exitStatus() != QProcess::NormalExit ||
        run.exitCode() != 0) {
        std::fprintf(stderr, "%s: exit %d\n%s", qPrintable(arguments.join(u' ')), run.exitCode(),
                     run.readAllStandardError().constData());
        return std::nullopt;
    }
    return double(clock.nsecsElapsed()) / 1e9;
}

/// The programming of the last program-target in log: its longest record, in seconds.
std::optional<double> programming(const QString &log)
{
    QFile file(log);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    if (lines.size() < 2)
        return std::nullopt;
    double longest = 0;
    for (const QByteArray &line : lines.mid(lines.size() - 2))
        longest = std::max(longest, QJsonDocument::fromJson(line)["duration_ms"].toDouble() / 1e3);
    return longest;
}

QString figure(const std::optional<double> &v)
{
    return v ? QString::asprintf("%.3f", *v) : QStringLiteral("failed");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir home;
    const QString ports = home.filePath(QStringLiteral("ports"));
    QDir().mkpath(ports);
    QProcess sim;
    prepare(sim, home.path());
    sim.start(QStringLiteral(VELL_SIM_BIN),
              {QStringLiteral("--ports"), ports, QStringLiteral("COM3"), QStringLiteral("COM7")});
    QByteArray named;
    while (named.count('\n') < 2 && sim.waitForReadyRead(5000))
        named += sim.readAllStandardOutput();

    const QString headlessLog = home.filePath(QStringLiteral("headless.jsonl"));
    const std::optional<double> headless =
        timedRun(home.path(), {QStringLiteral("--ports"), ports, QStringLiteral("--program-target"),
                               QStringLiteral("--log"), headlessLog});
    const std::optional<double> headlessWork = programming(headlessLog);

    const QString socket = home.filePath(QStringLiteral("control"));
    const QString serveLog = home.filePath(QStringLiteral("serve.jsonl"));
    QProcess station;
    prepare(station, home.path());
    station.start(QStringLiteral(VELL_APP_BIN),
                  {QStringLiteral("--serve"), QStringLiteral("--ports"), ports,
                   QStringLiteral("--control-socket"), socket, QStringLiteral("--log"), serveLog});
    for (int i = 0; i < 200 && !QFileInfo::exists(socket); ++i)
        QThread::msleep(50); // a benchmark may wait; the product never does
    std::vector<double> cycles;
    std::vector<double> overheads;
    for (int i = 0; i < kCycles; ++i) {
        const std::optional<double> cycle =
            timedRun(home.path(), {QStringLiteral("--control"), QStringLiteral("program-target"),
                                   QStringLiteral("--control-socket"), socket});
        const std::optional<double> work = programming(serveLog);
        if (!cycle || !work)
            break;
        cycles.push_back(*cycle);
        overheads.push_back(*cycle - *work);
    }
    station.terminate();
    station.waitForFinished(10000);
    sim.terminate();
    sim.waitForFinished(5000);

    const auto median = [](std::vector<double> v) -> std::optional<double> {
        if (v.size() < std::size_t(kCycles))
            return std::nullopt;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const std::optional<double> cycle = median(cycles);
    const std::optional<double> overhead = median(overheads);
    std::optional<double> ratio;
    std::optional<double> headlessOverhead;
    if (cycle && headless)
        ratio = *cycle / *headless;
    if (headless && headlessWork)
        headlessOverhead = *headless - *headlessWork;

    QTextStream out(stdout);
    out << "Service benchmark (2 programmers of vell-programmer-sim on COM3 and COM7; " << kCycles
        << " cycles)\n\n";
    const auto row = [&](const QString &name, const QString &value, const QString &goal) {
        out << QStringLiteral("%1 %2 %3\n").arg(name, -58).arg(value, 12).arg(goal);
    };
    row(QStringLiteral("figure"), QStringLiteral("value"), QStringLiteral("goal"));
    row(QStringLiteral("(s) headless --program-target run [s]"), figure(headless), QString());
    row(QStringLiteral("(s) program-target cycle through --control, median [s]"), figure(cycle),
        QString());
    row(QStringLiteral("(s) ratio cycle / headless run"), figure(ratio), QString());
    row(QStringLiteral("(s) cycle's overhead above the programming, median [s]"), figure(overhead),
        QString::asprintf("<= %.3f", kOverheadGoal));
    row(QStringLiteral("(s) for scale: headless run's overhead above it [s]"),
        figure(headlessOverhead), QString());
    const bool met = overhead && *overhead <= kOverheadGoal && ratio;
    out << "\n" << (met ? "all goals met" : "goal missed") << "\n";
    return met ? 0 : 1;
}
