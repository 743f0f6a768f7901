#pragma once

#include <QString>

// Texts of the shift report on the command line: its table's headings and its messages.
namespace vell::cli::report::texts {

inline QString logLine(const QString &path, qint64 records)
{
    return QStringLiteral("Attempt log %1: %2 records").arg(path).arg(records);
}
inline QString databaseLine(const QString &database, qint64 records)
{
    return QStringLiteral("Line database %1: %2 records").arg(database).arg(records);
}
inline QString skippedLines(qint64 count, const QString &lines)
{
    return count == 1
               ? QStringLiteral("1 unreadable line skipped (line %1)").arg(lines)
               : QStringLiteral("%1 unreadable lines skipped (lines %2)").arg(count).arg(lines);
}
inline QString outsideRecords(qint64 count)
{
    return QStringLiteral("%1 records outside the period").arg(count);
}
inline QString undatedRecords(qint64 count)
{
    return QStringLiteral("%1 records without a time left out").arg(count);
}
inline QString period(const QString &since, const QString &until)
{
    return QStringLiteral("Period: %1 to %2").arg(since, until);
}
inline const QString kOpenStart = QStringLiteral("the start");
inline const QString kOpenEnd = QStringLiteral("the end");
inline const QString kNoRecords = QStringLiteral("No records in this period.");
inline const QString kFailures = QStringLiteral("failures:");
inline QString codeName(int code)
{
    return QStringLiteral("code %1").arg(code);
}
inline QString moreTexts(qint64 count)
{
    return QStringLiteral("and %1 with other texts").arg(count);
}
inline const QString kChartTitle = QStringLiteral("Shift report: yield and failures by programmer");

inline const QString kHeadHost = QStringLiteral("Host");
inline const QString kHeadCom = QStringLiteral("COM");
inline const QString kHeadSerial = QStringLiteral("USB serial");
inline const QString kHeadLocation = QStringLiteral("Location");
inline const QString kHeadBoards = QStringLiteral("Boards");
inline const QString kHeadOk = QStringLiteral("OK");
inline const QString kHeadFailed = QStringLiteral("Failed");
inline const QString kHeadYield = QStringLiteral("Yield");
inline const QString kHeadDistinct = QStringLiteral("Distinct boards");
inline const QString kHeadLoads = QStringLiteral("Loads");
inline const QString kHeadLoadsFailed = QStringLiteral("Loads failed");
inline const QString kHeadRetries = QStringLiteral("Retries");
inline const QString kHeadLoad = QStringLiteral("Load median/longest");
inline const QString kHeadTarget = QStringLiteral("Program median/longest");
inline const QString kHeadFirst = QStringLiteral("First");
inline const QString kHeadLast = QStringLiteral("Last");

// A board's history (--report --board SERIAL).
inline QString historyLine(const QString &serial, const QString &path, qint64 records)
{
    return QStringLiteral("Board %1 in attempt log %2: %3 records").arg(serial, path).arg(records);
}
inline QString unreadableNamingIt(qint64 count)
{
    return count == 1 ? QStringLiteral("1 unreadable line naming it skipped")
                      : QStringLiteral("%1 unreadable lines naming it skipped").arg(count);
}
inline QString noHistory(const QString &serial, const QString &path)
{
    return QStringLiteral("No records of board %1 in attempt log %2.").arg(serial, path);
}
inline const QString kHeadTime = QStringLiteral("Time");
inline const QString kHeadProgrammer = QStringLiteral("Programmer");
inline const QString kHeadStep = QStringLiteral("Step");
inline const QString kHeadTry = QStringLiteral("Try");
inline const QString kHeadResult = QStringLiteral("Result");
inline const QString kHeadImage = QStringLiteral("Image");
inline const QString kHeadSha256 = QStringLiteral("SHA-256");
inline const QString kHistoryNoChart =
    QStringLiteral("--report-chart draws the shift report, not a board's history (--board)");

inline QString badTime(const QString &option, const QString &value)
{
    return QStringLiteral("%1 takes an ISO 8601 date or time (2024-05-01, "
                          "2024-05-01T06:00, 2024-05-01T06:00:00Z), not '%2'")
        .arg(option, value);
}
inline QString badChartName(const QString &path)
{
    return QStringLiteral("--report-chart: '%1' is neither a .png nor a .svg file").arg(path);
}
inline const QString kBadChartSize =
    QStringLiteral("--report-chart-size takes WIDTHxHEIGHT in pixels, each 200 to 8000");
inline QString cannotRead(const QString &reason)
{
    return QStringLiteral("cannot read the attempt log %1").arg(reason);
}
inline QString cannotReadDatabase(const QString &database, const QString &reason)
{
    return QStringLiteral("cannot report over the line database %1: %2").arg(database, reason);
}
inline QString noChartFolder(const QString &path)
{
    return QStringLiteral("%1: its folder does not exist or cannot be written").arg(path);
}
inline QString cannotDraw(const QString &reason)
{
    return QStringLiteral("cannot write the chart %1").arg(reason);
}

} // namespace vell::cli::report::texts
