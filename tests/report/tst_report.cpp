// Guards the shift report: the reader over records of any version and over damaged lines (its
// fast path reading each line as the general one does), the figures (tallies, failure groups,
// medians, the period, the boards), and --report over a log written by real runs against the
// simulator, with its JSON, its chart and its exit codes; a board's history.
#include "common/files.h"
#include "common/process.h"
#include "common/testmain.h"
#include "core/report/shiftreport.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace vell;
using report::ProgrammerTally;
using report::ShiftReport;

namespace {

#ifdef VELL_APP_BIN
const QString kApp = QStringLiteral(VELL_APP_BIN);
#else
const QString kApp;
#endif

ShiftReport readText(const QByteArray &text, int cut = 0)
{
    ShiftReport r;
    if (cut <= 0) {
        r.addBytes(text);
    } else {
        for (qsizetype at = 0; at < text.size(); at += cut)
            r.addBytes(QByteArrayView(text).sliced(at, std::min<qsizetype>(cut, text.size() - at)));
    }
    r.finish();
    return r;
}

/// A whole report in words, to compare in one row: "2 records, 0 malformed; COM 2: 2 tries,
/// 1 ok, ..." with each programmer's figures named.
QString summary(const ShiftReport &r)
{
    QStringList parts{
        QStringLiteral("%1 records, %2 malformed").arg(r.records()).arg(r.malformed())};
    for (const ProgrammerTally *t : r.programmers()) {
        const record::Tally &b = t->tally();
        QString p = QStringLiteral("COM %1: %2 tries, %3 ok, %4 retries, %5 skipped, %6 runs, "
                                   "%7 pinned, boards %8/%9, loads %10/%11, yield %12")
                        .arg(t->com())
                        .arg(t->tries())
                        .arg(t->ok())
                        .arg(t->retries())
                        .arg(t->skipped())
                        .arg(t->runs())
                        .arg(t->pinned())
                        .arg(b.boardsOk)
                        .arg(b.boards())
                        .arg(b.loadsOk)
                        .arg(b.loads())
                        .arg(t->yield() ? QString::number(*t->yield()) : QStringLiteral("-"));
        for (const ProgrammerTally::Failure &f : t->failures())
            p += QStringLiteral(", failed %1 x%2 (%3)")
                     .arg(f.code ? "code " + QString::number(*f.code) : f.result)
                     .arg(f.count)
                     .arg(f.texts.join(u'|'));
        parts << p;
    }
    return parts.join(QStringLiteral("; "));
}

QJsonObject jsonOf(const test::Run &run)
{
    return run.out.size() == 1 ? QJsonDocument::fromJson(run.out.at(0).toUtf8()).object()
                               : QJsonObject();
}

} // namespace

Q_DECLARE_METATYPE(vell::record::AttemptRecord)

class TstRecord : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void roundTrip_data()
    {
        QTest::addColumn<record::AttemptRecord>("written");
        record::AttemptRecord load;
        load.timeMs = 1714557600123;
        load.startedMs = 1714557590000;
        load.durationMs = 10123;
        load.host = QStringLiteral("bench-7");
        load.appVersion = QStringLiteral("0.6");
        load.runId = QStringLiteral("5b1c");
        load.pid = 4711;
        load.programmer = 2;
        load.com = 7;
        load.device = QStringLiteral("/dev/ttyUSB1");
        load.usbSerial = QStringLiteral("A10K");
        load.vidPid = QStringLiteral("0403:6001");
        load.location = QStringLiteral("pci-0000:00:14.0-usb-0:1.2:1.0-port0");
        load.step = record::kStepLoad;
        load.tryNumber = 3;
        load.file = record::FileRecord{QStringLiteral("board \"b\".bin"), QStringLiteral("/srv/x"),
                                       6144, QString(64, u'a'), QStringLiteral("50ffeec1")};
        load.expectedSha256 = QString(64, u'a');
        load.options = record::AttemptRecord::Options{true, false};
        load.result = QStringLiteral("error");
        load.code = 3;
        load.text = QString::fromUtf8("Error #3 / \u00e9\r\nnext");
        load.programmerVersion = QStringLiteral("0106");
        load.recordId = QStringLiteral("5b1c-7");
        load.operatorName = QStringLiteral("Ana");
        load.requestId = QJsonValue(QJsonObject{{QStringLiteral("cycle"), 17}});
        QTest::newRow("a load with every field") << load;
        record::AttemptRecord target;
        target.step = record::kStepProgramTarget;
        target.result = QStringLiteral("skipped");
        target.expectedCrc32 = QStringLiteral("cbf43926");
        target.board = QStringLiteral("SN-4711");
        target.reprogrammed = true;
        target.requestId = QJsonValue();
        QTest::newRow("a program-target: no file, no options, nulls") << target;
        record::AttemptRecord later;
        later.result = QStringLiteral("a result of a later version");
        later.step = QStringLiteral("erase");
        QTest::newRow("names the reader does not know") << later;
    }
    // The reader takes back exactly what the writer wrote, from one line.
    void roundTrip()
    {
        QFETCH(record::AttemptRecord, written);
        const QByteArray line = written.toLine();
        QCOMPARE(line.count('\n'), 1);
        const std::optional<record::AttemptRecord> read =
            record::AttemptRecord::parse(line.chopped(1));
        QVERIFY(read);
        QVERIFY(*read == written);
        QCOMPARE(read->toJson(), written.toJson());
    }

    void fastReader_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("fast"); // the fast reader vouches for it
        record::AttemptRecord full;
        full.result = QStringLiteral("ok");
        full.timeMs = 1714557600123;
        full.startedMs = 1714557590000;
        full.durationMs = 10123;
        full.host = QStringLiteral("b\u00e9nch \"7\"");
        full.pid = 4711;
        full.programmer = 2;
        full.com = 7;
        full.step = record::kStepProgramTarget;
        full.tryNumber = 2;
        full.file = record::FileRecord{"a.bin", "C:\\x", 6144, QString(64, u'a'), "50ffeec1"};
        full.options = record::AttemptRecord::Options{true, false};
        full.code = -3;
        full.text = QStringLiteral("T\r\n\U0001F600/");
        full.board = QStringLiteral("SN-1");
        full.reprogrammed = true;
        full.operatorName = QStringLiteral("Ana");
        QTest::newRow("as written, every field") << full.toLine().chopped(1) << true;
        QTest::newRow("white space, nested values, escapes")
            << QByteArray(" {\"new\" : {\"a\":[1,-2.5,true,null,{},[]]}, \"result\":\"ok\","
                          "\"com\" :3 ,\"text\":\"\\b\\f\\t\\/\"}\r")
            << true;
        QTest::newRow("wrong types, out of range: absent")
            << QByteArray("{\"result\":\"error\",\"com\":\"2\",\"code\":null,\"try\":0,"
                          "\"pid\":0,\"programmer\":-1,\"file\":[],\"options\":1,\"time\":5,"
                          "\"started\":\"2024-05-01T12:00:00+02:00\",\"reprogrammed\":1}")
            << true;
        for (const char *other :
             {"{\"result\":\"ok\",\"com\":2.0}", "{\"result\":\"ok\",\"x\":1e400}",
              "{\"result\":\"ok\",\"text\":\"\\u00e9\"}", "{\"result\":\"ok\",\"com\":1,\"com\":2}",
              "{\"result\":\"ok\",\"com\":01}", "{\"result\":\"ok\",\"text\":\"a\tb\"}",
              "{\"result\":\"ok\",\"text\":\"\xef\xbf\xbf\"}", "{\"result\":\"ok\"} x",
              "{\"result\":\"ok\",\"pid\":12345678901234567890}", "[1]", "{\"com\":1}",
              "{\"result\":\"ok\",\"request_id\":7}",
              "{\"result\":\"ok\",\"file\":{\"size\":1.5}}"})
            QTest::newRow(other) << QByteArray(other) << false;
        QTest::newRow("nested too deep")
            << "{\"result\":\"ok\",\"x\":" + QByteArray(40, '[') + QByteArray(40, ']') + "}"
            << false;
        // Strings are read eight bytes at a time: what ends a plain run, at every place in one.
        for (int at = 0; at < 17; ++at) {
            for (const auto &[what, fast] :
                 {std::pair<QByteArray, bool>("\\\"", true), {"\xc3\xa9", true}, {"\x01", false}}) {
                const QByteArray text = QByteArray(at, 'a') + what + QByteArray(17 - at, 'b');
                QTest::addRow("%d: %s", at, what.toHex().constData())
                    << "{\"result\":\"ok\",\"text\":\"" + text + "\",\"com\":1}" << fast;
            }
        }
    }
    // The fast reader reads a line as the general one does, or leaves it to it: the report's
    // figures are the same whichever path a line takes.
    void fastReader()
    {
        QFETCH(QByteArray, line);
        const std::optional<record::AttemptRecord> general = record::AttemptRecord::parseJson(line);
        const std::optional<record::AttemptRecord> fast = record::AttemptRecord::scan(line);
        QTEST(fast.has_value(), "fast");
        QVERIFY(!fast || (general && *fast == *general));
        const std::optional<record::AttemptRecord> read = record::AttemptRecord::parse(line);
        QVERIFY(read ? general && *read == *general : !general);
    }

    // The field list (the line database's columns) names every field the writer writes, once,
    // and nothing else.
    void everyFieldListed()
    {
        QSet<QString> listed;
        for (const record::Field &f : record::recordFields()) {
            QVERIFY2(!listed.contains(f.name), qPrintable(QString(f.name)));
            listed.insert(f.name);
        }
        // A record with every field set: the writer leaves out some when empty.
        QSet<QString> written;
        record::AttemptRecord load;
        load.timeMs = load.startedMs = load.durationMs = 1;
        load.pid = 1;
        load.tryNumber = 1;
        load.file = record::FileRecord{};
        load.options = record::AttemptRecord::Options{};
        load.expectedSha256 = load.expectedCrc32 = QStringLiteral("x");
        load.code = 1;
        load.recordId = QStringLiteral("r-1");
        load.reprogrammed = true;
        load.requestId = QJsonValue(1);
        load.step = record::kStepProgramTarget;
        for (const QString &key : load.toJson().keys())
            written.insert(key);
        QCOMPARE(written, listed);
        QVERIFY(listed.contains(record::recordIdField()));
        QVERIFY(listed.contains(record::resultField()));
    }

    // Each field's value (the line database's column) is what the writer wrote under its name:
    // null or left out is none, a time is its ms.
    void fieldValuesAsWritten_data()
    {
        roundTrip_data();
        record::AttemptRecord load;
        load.step = record::kStepLoad;
        load.result = QStringLiteral("ok");
        load.board = QStringLiteral("SN-9");
        QTest::newRow("a load's board is not written") << load;
    }
    void fieldValuesAsWritten()
    {
        QFETCH(record::AttemptRecord, written);
        const QJsonObject json = written.toJson();
        for (const record::Field &f : record::recordFields()) {
            if (!f.value)
                continue;
            const QJsonValue w = json.value(f.name);
            QJsonValue expected = w;
            if (f.kind == record::FieldKind::Time && w.isString())
                expected = double(*record::AttemptRecord::parseTime(w.toString()));
            else if (f.kind == record::FieldKind::Flag && w.isUndefined())
                expected = false;
            const QJsonValue got = std::visit(
                [](const auto &v) -> QJsonValue {
                    using T = std::decay_t<decltype(v)>;
                    if constexpr (std::is_same_v<T, std::monostate>)
                        return QJsonValue::Null;
                    else if constexpr (std::is_same_v<T, qint64>)
                        return double(v);
                    else
                        return v;
                },
                f.value(written));
            QVERIFY2(got == (expected.isUndefined() ? QJsonValue(QJsonValue::Null) : expected),
                     f.name.data());
        }
    }
};

class TstReport : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void reader_data()
    {
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<QString>("expected");
        QTest::newRow("an old record: a result alone")
            << QByteArray("{\"result\":\"ok\"}\n")
            << "1 records, 0 malformed; COM 0: 1 tries, 1 ok, 0 retries, 0 skipped, 0 runs, "
               "0 pinned, boards 0/0, loads 0/0, yield -";
        QTest::newRow("fields to come and unknown ones, escapes in the text")
            << QByteArray("{\"result\":\"error\",\"com\":2,\"code\":3,\"text\":\"E \\\"3\\\" "
                          "\\u00e9\\ud83d\\ude00\",\"try\":2,\"run_id\":\"r1\",\"new\":{\"a\":[1]},"
                          "\"expected_sha256\":\"ab\",\"step\":\"load\"}\n"
                          "{\"result\":\"ok\",\"com\":2,\"try\":1,\"run_id\":\"r2\"}\n")
            << QString::fromUtf8("2 records, 0 malformed; COM 2: 2 tries, 1 ok, 1 retries, "
                                 "0 skipped, 2 runs, 1 pinned, boards 0/0, loads 0/1, yield -, "
                                 "failed code 3 x1 (E \"3\" é\U0001F600)");
        QTest::newRow("boards: a skipped board is a failed board, loads apart")
            << QByteArray("{\"result\":\"ok\",\"com\":1,\"step\":\"load\"}\n"
                          "{\"result\":\"error\",\"com\":1,\"step\":\"load\",\"code\":3}\n"
                          "{\"result\":\"ok\",\"com\":1,\"step\":\"program-target\"}\n"
                          "{\"result\":\"skipped\",\"com\":1,\"step\":\"program-target\"}\n"
                          "{\"result\":\"ok\",\"com\":1,\"step\":\"program-target\"}\n"
                          "{\"result\":\"lost\",\"com\":1,\"step\":\"program-target\"}\n")
            << "6 records, 0 malformed; COM 1: 5 tries, 3 ok, 0 retries, 1 skipped, 0 runs, "
               "0 pinned, boards 2/4, loads 1/2, yield 0.5, failed code 3 x1 (), failed lost x1 ()";
        QTest::newRow("skipped is not a try; no code: grouped by result")
            << QByteArray("{\"result\":\"skipped\",\"com\":1,\"pid\":7}\n"
                          "{\"result\":\"lost\",\"com\":1,\"pid\":7,\"text\":\"gone\"}\n"
                          "{\"result\":\"lost\",\"com\":1,\"pid\":8,\"text\":\"gone\"}\n"
                          "{\"result\":\"timed-out\",\"com\":1,\"code\":null}\n"
                          "{\"result\":\"error\",\"com\":1,\"code\":10,\"text\":\"T\"}\n"
                          "{\"result\":\"error\",\"com\":1,\"code\":12,\"text\":\"V\"}\n")
            << "6 records, 0 malformed; COM 1: 5 tries, 0 ok, 0 retries, 1 skipped, 2 runs, "
               "0 pinned, boards 0/0, loads 0/0, yield -, failed lost x2 (gone), "
               "failed timed-out x1 (), failed code 10 x1 (T), failed code 12 x1 (V)";
        QTest::newRow("one COM, two programmers (serials); location null is none")
            << QByteArray("{\"result\":\"ok\",\"com\":1,\"usb_serial\":\"A\",\"location\":null}\n"
                          "{\"result\":\"ok\",\"com\":1,\"usb_serial\":\"B\"}\n")
            << "2 records, 0 malformed; COM 1: 1 tries, 1 ok, 0 retries, 0 skipped, 0 runs, "
               "0 pinned, boards 0/0, loads 0/0, yield -; COM 1: 1 tries, 1 ok, 0 retries, "
               "0 skipped, 0 runs, 0 pinned, boards 0/0, loads 0/0, yield -";
        QTest::newRow("garbage, cut, not an object, no result; blank lines ignored")
            << QByteArray("garbage\n{\"result\":\"ok\",\"com\":1\n[1]\n{\"com\":1}\n"
                          "{\"result\":3}\n\n  \r\n{\"result\":\"ok\",\"com\":1}")
            << "1 records, 5 malformed; COM 1: 1 tries, 1 ok, 0 retries, 0 skipped, 0 runs, "
               "0 pinned, boards 0/0, loads 0/0, yield -";
        QTest::newRow("wrong types read as absent")
            << QByteArray("{\"result\":\"error\",\"com\":\"2\",\"code\":2.5,\"duration_ms\":-1,"
                          "\"try\":\"2\",\"text\":7}\n")
            << "1 records, 0 malformed; COM 0: 1 tries, 0 ok, 0 retries, 0 skipped, 0 runs, "
               "0 pinned, boards 0/0, loads 0/0, yield -, failed error x1 ()";
    }
    void reader()
    {
        QFETCH(QByteArray, log);
        QFETCH(QString, expected);
        QCOMPARE(summary(readText(log)), expected);
        // Cut into chunks anywhere, the same.
        for (int cut : {1, 2, 7})
            QCOMPARE(summary(readText(log, cut)), expected);
    }

    // A line too long to be a record is one malformed line, skipped to its newline.
    void overlongLine()
    {
        const QByteArray record = "{\"result\":\"ok\",\"com\":1}\n";
        const QByteArray text = record + "{\"result\":\"" +
                                QByteArray(2 * ShiftReport::kMaxLineBytes, 'x') + "\"}\n" + record;
        const ShiftReport r = readText(text, 1 << 16);
        QCOMPARE(summary(r),
                 QStringLiteral("2 records, 1 malformed; COM 1: 2 tries, 2 ok, 0 retries, "
                                "0 skipped, 0 runs, 0 pinned, boards 0/0, loads 0/0, "
                                "yield -"));
        QCOMPARE(r.malformedLines(), QList<qint64>{2});
    }

    // Each programmer's distinct boards; the serials programmed OK more than once, over every
    // programmer; a load names no board.
    void boards()
    {
        const ShiftReport r = readText(
            "{\"result\":\"ok\",\"com\":1,\"step\":\"program-target\",\"board\":\"A\"}\n"
            "{\"result\":\"error\",\"com\":1,\"step\":\"program-target\",\"board\":\"B\"}\n"
            "{\"result\":\"ok\",\"com\":1,\"step\":\"program-target\",\"board\":\"B\"}\n"
            "{\"result\":\"ok\",\"com\":2,\"step\":\"program-target\",\"board\":\"A\"}\n"
            "{\"result\":\"ok\",\"com\":2,\"step\":\"load\",\"board\":\"C\"}\n"
            "{\"result\":\"ok\",\"com\":2,\"step\":\"program-target\",\"board\":null}\n");
        QCOMPARE(r.programmers().at(0)->distinctBoards(), 2);
        QCOMPARE(r.programmers().at(1)->distinctBoards(), 1);
        QCOMPARE(r.boardsProgrammedTwice(), QStringList{"A"});
    }

    void durations_data()
    {
        QTest::addColumn<QList<qint64>>("ms");
        QTest::addColumn<qint64>("median");
        QTest::addColumn<qint64>("longest");
        QTest::newRow("one") << QList<qint64>{5} << qint64(5) << qint64(5);
        QTest::newRow("odd, unsorted") << QList<qint64>{30, 10, 20} << qint64(20) << qint64(30);
        QTest::newRow("even: mean of the middle two")
            << QList<qint64>{40, 10, 20, 30} << qint64(25) << qint64(40);
        QTest::newRow("repeats") << QList<qint64>{7, 7, 7, 100} << qint64(7) << qint64(100);
        QTest::newRow("above a minute: to the second")
            << QList<qint64>{61700, 61200, 90000} << qint64(61000) << qint64(90000);
    }
    void durations()
    {
        QFETCH(QList<qint64>, ms);
        QFETCH(qint64, median);
        QFETCH(qint64, longest);
        QByteArray log;
        for (qint64 d : ms)
            log += "{\"result\":\"ok\",\"com\":1,\"step\":\"load\",\"duration_ms\":" +
                   QByteArray::number(d) +
                   "}\n{\"result\":\"ok\",\"com\":1,\"step\":\"program-"
                   "target\"}\n";
        const ShiftReport r = readText(log);
        const ProgrammerTally::Step &load = r.programmers().at(0)->steps().at(0);
        QCOMPARE(load.name, QStringLiteral("load"));
        QCOMPARE(load.tries, qint64(ms.size()));
        QCOMPARE(load.durations.median(), median);
        QCOMPARE(load.durations.longest(), longest);
        QCOMPARE(r.programmers().at(0)->steps().at(1).durations.median(), std::nullopt);
    }

    void period_data()
    {
        QTest::addColumn<QString>("since");
        QTest::addColumn<QString>("until");
        QTest::addColumn<QString>("expected"); // records outside undated; first last
        QTest::newRow("no bounds") << ""
                                   << ""
                                   << "4 0 0; 2024-05-01T00:00:00Z 2024-05-02T00:00:00Z";
        QTest::newRow("since, included") << "2024-05-01T23:59:59.999Z"
                                         << ""
                                         << "2 1 1; 2024-05-01T23:59:59Z 2024-05-02T00:00:00Z";
        QTest::newRow("until a UTC date: to its end")
            << ""
            << "2024-05-01"
            << "2 1 1; 2024-05-01T00:00:00Z 2024-05-01T23:59:59Z";
        QTest::newRow("an offset") << "2024-05-02T02:00:00+02:00"
                                   << ""
                                   << "1 2 1; 2024-05-02T00:00:00Z 2024-05-02T00:00:00Z";
    }
    void period()
    {
        QFETCH(QString, since);
        QFETCH(QString, until);
        QFETCH(QString, expected);
        qputenv("TZ", "UTC"); // a date alone is a local day
        ShiftReport r;
        if (!since.isEmpty())
            r.setSince(ShiftReport::parseBound(since, false));
        if (!until.isEmpty())
            r.setUntil(ShiftReport::parseBound(until, true));
        r.addBytes("{\"result\":\"ok\",\"time\":\"2024-05-01T00:00:00.000Z\"}\n"
                   "{\"result\":\"ok\",\"time\":\"2024-05-01T23:59:59.999Z\"}\n"
                   "{\"result\":\"ok\",\"time\":\"2024-05-02T00:00:00.000Z\"}\n"
                   "{\"result\":\"ok\",\"time\":\"yesterday\"}\n");
        r.finish();
        const auto utc = [](const std::optional<qint64> &ms) {
            return ms ? QDateTime::fromMSecsSinceEpoch(*ms).toUTC().toString(Qt::ISODate)
                      : QStringLiteral("-");
        };
        const ProgrammerTally *t = r.programmers().at(0);
        QCOMPARE(QStringLiteral("%1 %2 %3; %4 %5")
                     .arg(r.records())
                     .arg(r.outside())
                     .arg(r.undated())
                     .arg(utc(t->first()), utc(t->last())),
                 expected);
        QCOMPARE(ShiftReport::parseBound(QStringLiteral("May 1st"), false), std::nullopt);
    }

    // Runs of the tool against the simulator, one programmer refusing every load, write the
    // log; the report's figures are what those runs reported, and a garbage line and a cut
    // last line are counted and skipped.
    void reportOverRealRuns()
    {
        if (kApp.isEmpty() || qEnvironmentVariableIsEmpty("VELL_SIM_BIN"))
            QSKIP("needs the simulator");
        QTemporaryDir home, ports;
        QProcess simulator;
        QSignalSpy ready(&simulator, &QProcess::readyReadStandardOutput);
        test::prepare(simulator, home.path());
        simulator.start(qEnvironmentVariable("VELL_SIM_BIN"),
                        {"--ports", ports.path(), "COM1", "COM2:loaderr=3"});
        QByteArray lines;
        while (lines.count('\n') < 2 && ready.wait(5000))
            lines += simulator.readAllStandardOutput();
        QVERIFY(test::writeFile(home.filePath("board.bin"), test::pattern(3 * 512)));
        const QString log = home.filePath("shift.jsonl");
        // What the runs themselves reported, per COM: tries, OK, code-3 failures.
        QMap<int, QList<int>> expected;
        for (const QStringList &step :
             {QStringList{"--load", "board.bin"}, QStringList{"--load", "board.bin"},
              QStringList{"--program-target"}}) {
            const test::Run run = test::run(
                kApp,
                QStringList{"--ports", ports.path(), "--timeout", "20", "--json", "--log", log} +
                    step,
                home.path());
            QVERIFY2(run.exitCode == 0 || run.exitCode == 1, qPrintable(run.err));
            for (const QString &line : run.out) {
                const QJsonObject e = QJsonDocument::fromJson(line.toUtf8()).object();
                if (e["event"] != "result")
                    continue;
                QList<int> &f = expected[e["com"].toInt()];
                f.resize(3);
                ++f[0];
                f[1] += e["result"] == "ok";
                f[2] += e["code"] == 3;
            }
        }
        simulator.terminate();
        simulator.waitForFinished(5000);
        QCOMPARE(expected.value(2).value(2), 2); // both loads refused
        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray whole = file.readAll();
        const qint64 records = whole.count('\n');
        file.close();
        QVERIFY(file.open(QIODevice::Append));
        file.write("not a record\n" + whole.left(whole.indexOf('\n') / 2));
        file.close();

        const test::Run run = test::run(kApp, {"--report", log, "--json"}, home.path());
        QCOMPARE(run.exitCode, 0);
        const QJsonObject report = jsonOf(run);
        QCOMPARE(report["records"].toInteger(), records);
        QCOMPARE(report["malformed"].toInteger(), 2);
        QCOMPARE(report["malformed_lines"].toArray(), QJsonArray({records + 1, records + 2}));
        QMap<int, QList<int>> reported;
        for (const QJsonValue &p : report["programmers"].toArray()) {
            int code3 = 0;
            for (const QJsonValue &f : p["failures"].toArray())
                if (f["code"] == 3) {
                    code3 += f["count"].toInt();
                    QCOMPARE(f["texts"],
                             QJsonArray({"Error #3 / Memory Size & Processor Type Do Not Match"}));
                }
            reported[p["com"].toInt()] = {p["tries"].toInt(), p["ok"].toInt(), code3};
            QCOMPARE(p["steps"]["load"]["tries"].toInt(), 2);
            QVERIFY(p["steps"]["load"]["median_ms"].toInteger() > 0);
            QVERIFY(p["usb_serial"].isNull() || p["usb_serial"].isString());
        }
        QCOMPARE(reported, expected);

        // The table names the failures too; the chart is drawn at the size asked, with no word
        // on stderr also where the user has no runtime folder.
        const test::Run table =
            test::run(kApp,
                      {"--report", log, "--report-chart", home.filePath("c.png"),
                       "--report-chart-size", "640x400"},
                      home.path(), 30000, {"XDG_RUNTIME_DIR"});
        QCOMPARE(table.exitCode, 0);
        QCOMPARE(table.err, QString());
        QVERIFY(table.out.join('\n').contains("failures: 2 x code 3: \"Error #3 / Memory Size"));
        QCOMPARE(QImage(home.filePath("c.png")).size(), QSize(640, 400));
        // Narrow, the legend's failure text wraps rather than being cut.
        QVERIFY(test::run(kApp,
                          {"--report", log, "--report-chart", home.filePath("c.svg"),
                           "--report-chart-size", "200x400"},
                          home.path())
                    .exitCode == 0);
        QVERIFY(test::readFile(home.filePath("c.svg")).contains("Match"));
    }

    void reportErrorsExitTwo_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no such log") << QStringList{"--report", "missing.jsonl"};
        QTest::newRow("chart neither png nor svg")
            << QStringList{"--report", "log.jsonl", "--report-chart", "c.jpg"};
        QTest::newRow("chart in a missing folder")
            << QStringList{"--report", "log.jsonl", "--report-chart", "no/such/c.png"};
        QTest::newRow("bad time") << QStringList{"--report", "log.jsonl", "--since", "monday"};
        QTest::newRow("--since without --report") << QStringList{"--since", "2024-05-01"};
    }
    void reportErrorsExitTwo()
    {
        QFETCH(QStringList, arguments);
        if (kApp.isEmpty())
            QSKIP("needs the tool's executable");
        QTemporaryDir home;
        QVERIFY(test::writeFile(home.filePath("log.jsonl"), "{\"result\":\"ok\"}\n"));
        const test::Run run = test::run(kApp, arguments, home.path());
        QCOMPARE(run.exitCode, 2);
        QVERIFY(run.out.isEmpty());
        QVERIFY(!run.err.trimmed().isEmpty());
        QVERIFY(!QFile::exists(home.filePath("c.jpg")));
    }

    // --report --board: the board's records over two runs' worth of log, oldest first, also
    // where the log spells its serial with an escape, a cut line naming it counted; exit 1 for
    // a board without records. The shift report counts its boards.
    void boardHistory()
    {
        if (kApp.isEmpty())
            QSKIP("needs the tool's executable");
        QTemporaryDir home;
        record::AttemptRecord r;
        r.step = record::kStepProgramTarget;
        r.com = 3;
        r.host = QStringLiteral("bench-7");
        r.file = record::FileRecord{"board.bin", "/srv", 10, QString(64, u'a'), "00000000"};
        QByteArray log;
        for (const auto &[ms, run, board, result] :
             {std::tuple(2000, "r2", "SN-1", "ok"), std::tuple(1000, "r1", "SN-1", "error"),
              std::tuple(1500, "r1", "SN-2", "ok")}) {
            r.timeMs = ms;
            r.runId = QString::fromLatin1(run);
            r.board = QString::fromLatin1(board);
            r.result = QString::fromLatin1(result);
            log += r.toLine();
        }
        log += "{\"result\":\"ok\",\"step\":\"program-target\",\"board\":\"SN-\\u0031\","
               "\"time\":\"1970-01-01T00:00:03.000Z\"}\n{\"board\":\"SN-1\",\"cut\n";
        const QString path = home.filePath("two-runs.jsonl");
        QVERIFY(test::writeFile(path, log));

        const test::Run table = test::run(kApp, {"--report", path, "--board", "SN-1"}, home.path());
        QCOMPARE(table.exitCode, 0);
        QCOMPARE(table.out.size(), 5);
        QVERIFY(table.out.at(0).endsWith(": 3 records; 1 unreadable line naming it skipped"));
        QCOMPARE(table.out.at(2).simplified(),
                 "1970-01-01T00:00:01.000Z bench-7 0 3 program-target - error board.bin " +
                     QString(64, u'a'));
        const test::Run json =
            test::run(kApp, {"--report", path, "--board", "SN-1", "--json"}, home.path());
        QStringList times;
        for (const QJsonValue &e : QJsonDocument::fromJson(json.out.value(0).toUtf8()).array())
            times << e["time"].toString().mid(17, 2) + e["run_id"].toString();
        QCOMPARE(times, QStringList({"01r1", "02r2", "03"}));
        QCOMPARE(test::run(kApp, {"--report", path, "--board", "SN-9"}, home.path()).exitCode, 1);

        const QJsonObject report =
            jsonOf(test::run(kApp, {"--report", path, "--json"}, home.path()));
        QCOMPARE(report["boards_programmed_twice"], QJsonArray{"SN-1"});
        QCOMPARE(report["programmers"][1]["distinct_boards"], 2);
    }

    // No log named: the default one in the per-user data folder.
    void defaultLog()
    {
        if (kApp.isEmpty())
            QSKIP("needs the tool's executable");
        QTemporaryDir home;
        const QString folder = home.filePath("Vell/vell-usb-programmer");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(test::writeFile(folder + "/attempts.jsonl", "{\"result\":\"ok\",\"com\":4}\n"));
        const test::Run run = test::run(kApp, {"--report", "--json"}, home.path());
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(jsonOf(run)["programmers"][0]["com"], 4);
    }
};

VELL_TEST_MAIN(QCoreApplication, TstRecord, TstReport)
#include "tst_report.moc"
