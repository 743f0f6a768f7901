// App benchmark: the search over all fifteen ports against its 3-second design, and the CPU
// time the app spends per MiB it loads into four programmers (the simulators run in a process
// of their own, so only the app's work is counted). Not a test: it prints figures and goals.
#include "app/eventloop.h"
#include "app/station.h"
#include "benchsupport.h"
#include "discovery/programmersearch.h"
#include "link/portnames.h"
#include "link/qserialportlink.h"
#include "link/texts.h"
#include "load/filetransfer.h"
#include "model/operatorinterface.h"
#include "sim/simbank.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <functional>
#include <optional>

using namespace vell;

namespace {

using bench::PrintingOperator;
using bench::runUntil;

constexpr int kProgrammers = 4;
constexpr double kSearchDesignSeconds = 3.0; // 30 steps of the 100 ms tick

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

/// The longest search: a device on every port (so each costs its two ticks), programmers on
/// COM 4, 9 and 15 and silent devices elsewhere, so no fourth programmer ends it early.
std::optional<double> searchSeconds(const QString &dir)
{
    sim::SimBank bank(dir);
    sim::DeviceOptions silent;
    silent.kind = sim::DeviceOptions::Kind::Silent;
    for (int com = 1; com <= 15; ++com) {
        const bool programmer = com == 4 || com == 9 || com == 15;
        if (!bank.add(com, programmer ? sim::DeviceOptions{} : silent))
            return std::nullopt;
    }
    const link::PortNames names = link::PortNames::fromDirectory(dir);
    model::Programmers found;
    discovery::ProgrammerSearch search(found, names, link::qserialPortFactory());
    bool ended = false;
    QObject::connect(&search, &discovery::ProgrammerSearch::finished, &search,
                     [&ended](bool) { ended = true; });
    QElapsedTimer clock;
    clock.start();
    search.start();
    if (!runUntil([&] { return ended; }, 20000) || search.programmersFound() != 3)
        return std::nullopt;
    return double(clock.nsecsElapsed()) / 1e9;
}

bool writeProgramFile(const QString &path, qint64 length)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray bytes(int(length), Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (char &c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x);
    }
    return file.write(bytes) == length;
}

/// App CPU seconds for `loads` loads of the file into four programmers of vell-programmer-sim.
std::optional<double> loadCpuSeconds(const QString &dir, const QString &folder,
                                     const QString &fileName, int loads)
{
    QProcess sim;
    QStringList args{QStringLiteral("--ports"), dir};
    for (int com = 1; com <= kProgrammers; ++com)
        args << QStringLiteral("COM%1").arg(com);
    // The simulator's lines are not read: no pipe of its own in this process, whose event loop
    // would poll it beside the app's links. Its errors go to the bench's stderr.
    sim.setStandardOutputFile(QProcess::nullDevice());
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(VELL_SIM_BIN), args);
    auto linksUp = [&] {
        for (int com = 1; com <= kProgrammers; ++com) {
            if (!QFileInfo::exists(QDir(dir).filePath(QStringLiteral("COM%1").arg(com))))
                return false;
        }
        return true;
    };
    if (!sim.waitForStarted(5000) || !runUntil(linksUp, 10000))
        return std::nullopt;

    PrintingOperator op;
    const link::PortNames names = link::PortNames::fromDirectory(dir);
    app::Station bench(names, op, link::qserialPortFactory());
    if (!bench::findProgrammers(bench, kProgrammers))
        return std::nullopt;
    bench.setCurrentFolder(folder);

    std::optional<double> cpu = 0.0;
    for (int i = 0; i < loads && cpu; ++i) {
        const double before = cpuSeconds();
        bench.loadProgramFile(QDir(folder).filePath(fileName));
        const bool ok = bench::runUntilStationChanged(
            bench,
            [&] {
                return bench::allShow(bench, kProgrammers, model::Status::LoadedOk) &&
                       !bench.busy();
            },
            120000);
        if (ok)
            *cpu += cpuSeconds() - before;
        else
            cpu.reset();
    }
    sim.terminate();
    sim.waitForFinished(5000);
    return cpu;
}

QString figure(const std::optional<double> &v, const char *format = "%.3f")
{
    return v ? QString::asprintf(format, *v) : QStringLiteral("failed");
}

} // namespace

int main(int argc, char **argv)
{
    app::useQtEventDispatcher(); // as the tool does
    QCoreApplication app(argc, argv);
    QTemporaryDir work;
    QDir::setCurrent(work.path()); // port files
    const QString searchDir = work.filePath(QStringLiteral("search"));
    const QString loadDir = work.filePath(QStringLiteral("ports"));
    QDir().mkpath(searchDir);
    QDir().mkpath(loadDir);

    const std::optional<double> search = searchSeconds(searchDir);
    std::optional<double> searchRatio;
    if (search)
        searchRatio = *search / kSearchDesignSeconds;

    constexpr qint64 kFileMiB = 4;
    // The load's own work per MiB into four programmers: reading, hashing and sending it.
    constexpr double kCpuPerMiBGoalMs = 16.0;
    constexpr int kLoads = 3;
    if (!writeProgramFile(work.filePath(QStringLiteral("image.bin")), kFileMiB << 20)) {
        std::fprintf(stderr, "cannot write the program file\n");
        return 2;
    }
    const std::optional<double> cpu =
        loadCpuSeconds(loadDir, work.path(), QStringLiteral("image.bin"), kLoads);
    std::optional<double> perFileMiB;
    std::optional<double> perWireMiB;
    if (cpu) {
        perFileMiB = *cpu * 1000.0 / double(kFileMiB * kLoads);
        perWireMiB = *perFileMiB / kProgrammers * 513.0 / 512.0;
    }

    QTextStream out(stdout);
    out << "App benchmark (search over 15 ports, each with a device; " << kLoads << " loads of "
        << kFileMiB << " MiB into " << kProgrammers << " programmers of vell-programmer-sim)\n\n";
    auto row = [&](const QString &name, const QString &value, const QString &goal) {
        out << QStringLiteral("%1 %2 %3\n").arg(name, -58).arg(value, 12).arg(goal);
    };
    row(QStringLiteral("figure"), QStringLiteral("value"), QStringLiteral("goal"));
    row(QStringLiteral("(d) search of COM1..15, 100 ms tick [s]"), figure(search),
        QStringLiteral("3.000 by design"));
    row(QStringLiteral("(d) ratio search / design"), figure(searchRatio),
        QStringLiteral("<= 1.05"));
    row(QStringLiteral("(e) app CPU per MiB of program file, 4 programmers [ms]"),
        figure(perFileMiB, "%.1f"), QStringLiteral("<= %1").arg(kCpuPerMiBGoalMs, 0, 'f', 1));
    row(QStringLiteral("(e) app CPU per MiB on the wire (513/512, 4 links) [ms]"),
        figure(perWireMiB, "%.1f"), QString());
    const bool met =
        searchRatio && *searchRatio <= 1.05 && perFileMiB && *perFileMiB <= kCpuPerMiBGoalMs;
    out << "\n" << (met ? "all goals met" : "goal missed") << "\n";
    return met ? 0 : 1;
}
