// Soak loop: one app process that searches once, then loads a program file into four
// programmers of vell-programmer-sim and has them program their boards, again and again,
// the way an operator would all day. scripts/soak.sh runs it and watches its memory and file
// descriptors from outside; it prints one line per cycle window and stops at the first
// programmer that does not report success.
//
//   bench_soak [--minutes M] [--file-kib K]
#include "app/eventloop.h"
#include "app/station.h"
#include "benchsupport.h"
#include "discovery/programmersearch.h"
#include "link/portnames.h"
#include "link/qserialportlink.h"
#include "link/texts.h"
#include "model/operatorinterface.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>

using namespace vell;

namespace {

using bench::PrintingOperator;
using bench::runUntil;

constexpr int kProgrammers = 4;

} // namespace

int main(int argc, char **argv)
{
    app::useQtEventDispatcher(); // as the tool does
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    double minutes = 30;
    int fileKiB = 256;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--minutes"))
            minutes = args.at(i + 1).toDouble();
        else if (args.at(i) == QLatin1String("--file-kib"))
            fileKiB = args.at(i + 1).toInt();
    }

    QTemporaryDir work;
    QDir::setCurrent(work.path()); // port files
    const QString ports = work.filePath(QStringLiteral("ports"));
    QDir().mkpath(ports);
    {
        QFile file(work.filePath(QStringLiteral("image.bin")));
        QByteArray bytes(fileKiB * 1024, Qt::Uninitialized);
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char((i * 31 + i / 513) & 0xFF);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return 2;
    }

    QProcess sim;
    QStringList simArgs{QStringLiteral("--ports"), ports};
    for (int com = 1; com <= kProgrammers; ++com)
        simArgs << QStringLiteral("COM%1:interval=5").arg(com);
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(VELL_SIM_BIN), simArgs);
    const auto linksUp = [&] {
        for (int com = 1; com <= kProgrammers; ++com) {
            if (!QFileInfo::exists(QDir(ports).filePath(QStringLiteral("COM%1").arg(com))))
                return false;
        }
        return true;
    };
    if (!sim.waitForStarted(5000) || !runUntil(linksUp, 10000)) {
        std::fprintf(stderr, "the simulator did not start\n");
        return 2;
    }

    PrintingOperator op;
    const link::PortNames names = link::PortNames::fromDirectory(ports);
    app::Station bench(names, op, link::qserialPortFactory());
    if (!bench::findProgrammers(bench, kProgrammers)) {
        std::fprintf(stderr, "the search did not find %d programmers\n", kProgrammers);
        return 1;
    }
    bench.setCurrentFolder(work.path());
    std::printf("soak: pid %lld, %d programmers, %d KiB file, %.1f minutes\n",
                static_cast<long long>(QCoreApplication::applicationPid()), kProgrammers, fileKiB,
                minutes);
    std::fflush(stdout);

    QElapsedTimer clock;
    clock.start();
    const qint64 endMs = qint64(minutes * 60'000);
    qint64 cycles = 0;
    qint64 lastReportMs = 0;
    int exitCode = 0;
    while (clock.elapsed() < endMs) {
        bench.loadProgramFile(work.filePath(QStringLiteral("image.bin")));
        if (!runUntil(
                [&] {
                    return !bench.busy() &&
                           bench::allShow(bench, kProgrammers, model::Status::LoadedOk);
                },
                60000)) {
            std::fprintf(stderr, "cycle %lld: the load did not end with File Loaded OK\n",
                         static_cast<long long>(cycles + 1));
            exitCode = 1;
            break;
        }
        bench.programTarget();
        if (!runUntil(
                [&] { return bench::allShow(bench, kProgrammers, model::Status::ProgrammedOk); },
                60000)) {
            std::fprintf(stderr, "cycle %lld: programming did not end with Board Programmed OK\n",
                         static_cast<long long>(cycles + 1));
            exitCode = 1;
            break;
        }
        ++cycles;
        if (clock.elapsed() - lastReportMs >= 10'000) {
            lastReportMs = clock.elapsed();
            std::printf("soak: %lld s, %lld cycles\n", static_cast<long long>(lastReportMs / 1000),
                        static_cast<long long>(cycles));
            std::fflush(stdout);
        }
    }
    if (op.count > 0)
        exitCode = 1;
    std::printf("soak: done, %lld cycles in %lld s, %d operator messages\n",
                static_cast<long long>(cycles), static_cast<long long>(clock.elapsed() / 1000),
                op.count);
    sim.terminate();
    sim.waitForFinished(5000);
    return exitCode;
}
