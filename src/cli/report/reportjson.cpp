#include "reportjson.h"

#include "record/attemptrecord.h"

#include <QDateTime>
#include <QJsonArray>

#include <optional>

namespace vell::cli::report {

using vell::report::ProgrammerTally;
using vell::report::ShiftReport;

namespace {

using record::orNull;

QJsonValue orNull(const std::optional<qint64> &n)
{
    return n ? QJsonValue(*n) : QJsonValue(QJsonValue::Null);
}

QJsonValue utc(const std::optional<qint64> &ms)
{
    return ms ? QJsonValue(QDateTime::fromMSecsSinceEpoch(*ms).toUTC().toString(Qt::ISODateWithMs))
              : QJsonValue(QJsonValue::Null);
}

QJsonObject programmer(const ProgrammerTally &t, bool line)
{
    QJsonArray failures;
    for (const ProgrammerTally::Failure &f : t.failures())
        failures.append(
            QJsonObject{{QStringLiteral("code"), f.code ? QJsonValue(*f.code) : QJsonValue()},
                        {QStringLiteral("result"), f.result},
                        {QStringLiteral("count"), f.count},
                        {QStringLiteral("texts"), QJsonArray::fromStringList(f.texts)},
                        {QStringLiteral("more_texts"), f.moreTexts}});
    QJsonObject steps;
    for (const ProgrammerTally::Step &s : t.steps())
        steps[s.name] = QJsonObject{{QStringLiteral("tries"), s.tries},
                                    {QStringLiteral("ok"), s.ok},
                                    {QStringLiteral("failed"), s.tries - s.ok},
                                    {QStringLiteral("median_ms"), orNull(s.durations.median())},
                                    {QStringLiteral("longest_ms"), orNull(s.durations.longest())}};
    QJsonObject o{{QStringLiteral("com"), t.com()},
                  {QStringLiteral("location"), orNull(t.location())},
                  {QStringLiteral("usb_serial"), orNull(t.usbSerial())},
                  {QStringLiteral("tries"), t.tries()},
                  {QStringLiteral("ok"), t.ok()},
                  {QStringLiteral("failed"), t.failed()},
                  {QStringLiteral("yield"), t.yield() ? QJsonValue(*t.yield()) : QJsonValue()},
                  {QStringLiteral("boards"), t.tally().boards()},
                  {QStringLiteral("boards_ok"), t.tally().boardsOk},
                  {QStringLiteral("boards_failed"), t.tally().boardsFailed},
                  {QStringLiteral("distinct_boards"), t.distinctBoards()},
                  {QStringLiteral("loads"), t.tally().loads()},
                  {QStringLiteral("loads_ok"), t.tally().loadsOk},
                  {QStringLiteral("loads_failed"), t.tally().loadsFailed},
                  {QStringLiteral("skipped"), t.skipped()},
                  {QStringLiteral("retries"), t.retries()},
                  {QStringLiteral("runs"), t.runs()},
                  {QStringLiteral("pinned"), t.pinned()},
                  {QStringLiteral("failures"), failures},
                  {QStringLiteral("steps"), steps},
                  {QStringLiteral("first"), utc(t.first())},
                  {QStringLiteral("last"), utc(t.last())}};
    if (line)
        o[QStringLiteral("host")] = orNull(t.host());
    return o;
}

} // namespace

QJsonObject reportJson(const ShiftReport &report, const QString &source, const QString &since,
                       const QString &until, bool line)
{
    QJsonArray programmers;
    for (const ProgrammerTally *t : report.programmers())
        programmers.append(programmer(*t, line));
    QJsonObject o{{line ? QStringLiteral("database") : QStringLiteral("log"), source},
                  {QStringLiteral("since"), orNull(since)},
                  {QStringLiteral("until"), orNull(until)},
                  {QStringLiteral("records"), report.records()},
                  {QStringLiteral("outside"), report.outside()},
                  {QStringLiteral("undated"), report.undated()},
                  {QStringLiteral("programmers"), programmers},
                  {QStringLiteral("boards_programmed_twice"),
                   QJsonArray::fromStringList(report.boardsProgrammedTwice())}};
    if (!line) {
        QJsonArray lines;
        for (qint64 n : report.malformedLines())
            lines.append(n);
        o[QStringLiteral("malformed")] = report.malformed();
        o[QStringLiteral("malformed_lines")] = lines;
    }
    return o;
}

} // namespace vell::cli::report
