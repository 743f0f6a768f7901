// Shift report benchmark: --report over an attempt log of a million realistic records (four
// programmers, both steps, some failures, a board serial on every program-target and a few
// boards programmed twice; about 700 MB, written to a temporary folder and removed afterwards)
// beside jq doing the same grouping (the results counted per programmer identity and step) on
// the same file in the same run; a board's history over the same log; the report's peak memory
// at 100,000 and at 1,000,000 records shows it stays flat but for its table of boards (one
// entry per distinct board, which the figures of distinct boards need). Not a test: it prints
// figures and goals.
#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QTextStream>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <vector>

namespace {

constexpr qint64 kRecords = 1000000;
constexpr qint64 kSmallRecords = 100000;
/// What the report's table of boards may take for each distinct board (a 12-character serial).
constexpr double kBytesPerBoard = 64;
/// The board whose history is asked for: programmed in the middle of the big log.
constexpr qint64 kAskedBoard = kRecords / 4;
const char *const kJqGrouping =
    "reduce inputs as $r ({}; .[[$r.com, $r.location, $r.usb_serial, $r.step, $r.result] | "
    "tostring] += 1)";

struct Child
{
    double seconds = 0;    ///< wall time
    double cpuSeconds = 0; ///< user + system: what a shared machine's load does not inflate
    qint64 peakKiB = 0;
};

/// Runs argv to its end with stdout to /dev/null: its wall time and its own peak RSS. A fork,
/// not posix_spawn: a vfork'd child would carry this process's peak RSS into the figure.
std::optional<Child> runChild(const std::vector<QByteArray> &arguments)
{
    std::vector<char *> argv;
    for (const QByteArray &a : arguments)
        argv.push_back(const_cast<char *>(a.constData()));
    argv.push_back(nullptr);
    QElapsedTimer clock;
    clock.start();
    const pid_t pid = fork();
    if (pid < 0)
        return std::nullopt;
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, 1) < 0)
            _exit(127);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return Child{double(clock.nsecsElapsed()) / 1e9, cpu, qint64(usage.ru_maxrss)};
}

/// A board's serial as its label carries it.
QByteArray serialOf(qint64 board)
{
    return "SN-" + QByteArray::number(board).rightJustified(9, '0');
}

/// count records as the tool writes them: four programmers, a load and a program-target per
/// board, about one in twenty steps failing with one of three codes or a lost link; every
/// thousandth board is programmed again on the next fixture. *boards: the distinct boards.
bool writeLog(const QString &path, qint64 count, qint64 *boards)
{
    *boards = 0;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray buffer;
    buffer.reserve(8 << 20);
    char line[2048];
    const char *texts[] = {"Error #3 / Memory Size & Processor Type Do Not Match",
                           "Error #10 / Target Not Responding", "Error #12 / Verify Failed"};
    const int codes[] = {3, 10, 12};
    quint32 x = 2463534242u;
    qint64 ms = 1714543200000; // 2024-05-01T06:00:00Z
    for (qint64 i = 0; i < count; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        const int com = int(i % 4) + 1;
        const bool load = (i / 4) % 2 == 0;
        const int duration = load ? 2800 + int(x % 900) : 5200 + int(x % 1500);
        const int fate = int(x >> 8) % 100;
        ms += 700;
        const qint64 start = ms - duration;
        const auto iso = [](qint64 t, char *out) {
            const qint64 day = t / 86400000, rest = t % 86400000;
            // Days from 2024-05-01 stay within May for the benchmark's span.
            std::snprintf(out, 32, "2024-05-%02lldT%02lld:%02lld:%02lld.%03lldZ",
                          1 + (day - 19844) % 28, rest / 3600000, rest / 60000 % 60,
                          rest / 1000 % 60, rest % 1000);
        };
        char end[32], begin[32];
        iso(ms, end);
        iso(start, begin);
        const char *result = "ok";
        char code[8] = "null";
        const char *text = load ? "File Loaded OK" : "Board Programmed OK";
        if (fate < 4) {
            result = "error";
            std::snprintf(code, sizeof code, "%d", codes[fate % 3]);
            text = texts[fate % 3];
        } else if (fate == 4) {
            result = "lost";
            text = "Programmer Lost";
        }
        // Board b sits on the fixture of programmer com; each thousandth is moved on to the
        // next fixture and programmed again there.
        qint64 board = (i / 8) * 4 + com - 1;
        if (board % 1000 == 1)
            --board;
        else if (!load)
            ++*boards;
        char boardField[40] = "";
        if (!load)
            std::snprintf(boardField, sizeof boardField, "\"board\":\"%s\",",
                          serialOf(board).constData());
        const int n = std::snprintf(
            line, sizeof line,
            "{\"app_version\":\"0.6\",%s\"code\":%s,\"com\":%d,\"device\":\"/dev/ttyUSB%d\","
            "\"duration_ms\":%d,\"file\":%s,\"host\":\"bench-line-3.example.com\",\"location\":"
            "\"pci-0000:00:14.0-usb-0:%d:1.0-port0\",\"operator\":\"Ana Lima\",\"options\":%s,"
            "\"pid\":4711,\"programmer\":%d,\"programmer_version\":\"0107\",\"record_id\":"
            "\"5b1c0e2a-77d4-4f1e-9a51-0c2f3e6b9d10-%lld\",\"result\":\"%s\",\"run_id\":"
            "\"5b1c0e2a-77d4-4f1e-9a51-0c2f3e6b9d10\",\"started\":\"%s\",\"step\":\"%s\","
            "\"text\":\"%s\",\"time\":\"%s\",\"try\":1,\"usb_serial\":\"A10K%dQ\","
            "\"usb_vid_pid\":\"0403:6001\"}\n",
            boardField, code, com, com - 1, duration,
            "{\"crc32\":\"50ffeec1\",\"folder\":\"/home/operator/production/images/board-rev-c\","
            "\"name\":\"board-rev-c-2024-04.bin\",\"sha256\":\"9f86d081884c7d659a2feaa0c55ad015"
            "a3bf4f1b2b0b822cd15d6c15b0f00a08\",\"size\":65536}",
            com, load ? "{\"black_box\":false,\"restore_defaults\":false}" : "null", com,
            (long long)(i + 1), result, begin, load ? "load" : "program-target", text, end, com);
        buffer.append(line, n);
        if (buffer.size() > (8 << 20) - 4096) {
            if (file.write(buffer) != buffer.size())
                return false;
            buffer.clear();
        }
    }
    return file.write(buffer) == buffer.size() && file.flush();
}

QString figure(const std::optional<double> &v, const char *format = "%.2f")
{
    return v ? QString::asprintf(format, *v) : QStringLiteral("failed");
}

} // namespace

int main()
{
    QTemporaryDir work(QStringLiteral("/tmp/vell-bench-report-XXXXXX"));
    const QString small = work.filePath(QStringLiteral("small.jsonl"));
    const QString big = work.filePath(QStringLiteral("big.jsonl"));
    qint64 smallBoards = 0, bigBoards = 0;
    if (!work.isValid() || !writeLog(small, kSmallRecords, &smallBoards) ||
        !writeLog(big, kRecords, &bigBoards)) {
        std::fprintf(stderr, "cannot write the logs in %s\n", qPrintable(work.path()));
        return 2;
    }
    const qint64 bytes = QFile(big).size();
    const QByteArray app = VELL_APP_BIN;
    const auto report = [&](const QString &log) {
        return runChild({app, "--report", log.toLocal8Bit(), "--json"});
    };
    // Both read the file from the page cache: warm it first.
    report(big);
    const std::optional<Child> smallRun = report(small);
    const std::optional<Child> bigRun = report(big);
    const std::optional<Child> jqRun = runChild({"jq", "-c", "-n", kJqGrouping, big.toLocal8Bit()});
    const std::optional<Child> historyRun =
        runChild({app, "--report", big.toLocal8Bit(), "--board", serialOf(kAskedBoard)});

    std::optional<double> reportSeconds, jqSeconds, ratio, peakDiff;
    if (bigRun)
        reportSeconds = bigRun->seconds;
    if (jqRun)
        jqSeconds = jqRun->seconds;
    if (bigRun && jqRun)
        ratio = bigRun->seconds / jqRun->seconds;
    std::optional<double> history, beyondBoards, perBoard;
    if (historyRun)
        history = historyRun->seconds;
    if (smallRun && bigRun) {
        const double extra = double(bigRun->peakKiB - smallRun->peakKiB) * 1024.0;
        const double boards = double(bigBoards - smallBoards);
        peakDiff = extra / (1024.0 * 1024.0);
        perBoard = extra / boards;
        beyondBoards = (extra - boards * kBytesPerBoard) / (1024.0 * 1024.0);
    }
    const auto mib = [](const std::optional<Child> &c) {
        return c ? QString::number(double(c->peakKiB) / 1024.0, 'f', 1) : QStringLiteral("failed");
    };

    QTextStream out(stdout);
    out << "Report benchmark (" << kRecords << " records, "
        << QString::number(double(bytes) / 1e6, 'f', 0) << " MB)\n\n";
    auto row = [&](const QString &name, const QString &value, const QString &goal) {
        out << QStringLiteral("%1 %2 %3\n").arg(name, -58).arg(value, 12).arg(goal);
    };
    row("(r) --report over 1,000,000 records [s]", figure(reportSeconds), "");
    row("(r) jq, results per programmer and step, same file [s]", figure(jqSeconds), "");
    row("(r) ratio report / jq", figure(ratio, "%.3f"), "<= 0.1");
    row("(r) a board's history over 1,000,000 records [s]", figure(history), "< 1");
    const auto cpu = [](const std::optional<Child> &c) {
        return c ? std::optional<double>(c->cpuSeconds) : std::nullopt;
    };
    row("(r) for scale: report's CPU time (user + system) [s]", figure(cpu(bigRun)), "");
    row("(r) for scale: jq's CPU time (user + system) [s]", figure(cpu(jqRun)), "");
    row("(r) report's peak RSS, 100,000 records [MiB]", mib(smallRun), "");
    row("(r) report's peak RSS, 1,000,000 records [MiB]", mib(bigRun), "");
    row("(r) jq's peak RSS, 1,000,000 records [MiB]", mib(jqRun), "");
    row("(r) report's peak difference [MiB]", figure(peakDiff), "");
    row(QStringLiteral("(r) distinct boards, 100,000 / 1,000,000 records"),
        QStringLiteral("%1 / %2").arg(smallBoards).arg(bigBoards), "");
    row("(r) peak difference per board more [bytes]", figure(perBoard, "%.0f"), "");
    row("(r) peak difference beyond 64 bytes a board [MiB]", figure(beyondBoards), "<= 2");
    const bool met =
        ratio && *ratio <= 0.1 && history && *history < 1.0 && beyondBoards && *beyondBoards <= 2.0;
    out << "\n" << (met ? "all goals met" : "goal missed") << "\n";
    return met ? 0 : 1;
}
