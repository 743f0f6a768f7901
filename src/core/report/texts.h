#pragma once

#include <QString>

// Texts of the shift report's chart, as the shift meeting reads them.
namespace vell::report::texts {

inline const QString kYield = QStringLiteral("Yield");
inline const QString kFailuresByCode = QStringLiteral("Failures by code");
inline const QString kFailureCodes = QStringLiteral("Failure codes");
inline const QString kNone = QStringLiteral("none");
inline const QString kNoBoards = QStringLiteral("no boards");
inline const QString kOthers = QStringLiteral("others");
inline const QString kNoRecords = QStringLiteral("No records in this period");
inline QString com(int n)
{
    return QStringLiteral("COM %1").arg(n);
}
inline QString code(int n)
{
    return QStringLiteral("code %1").arg(n);
}
inline QString boardsAndOk(qint64 boards, qint64 ok)
{
    return QStringLiteral("%1 boards, %2 OK").arg(boards).arg(ok);
}
inline QString span(const QString &first, const QString &last)
{
    return QStringLiteral(", %1 to %2 UTC").arg(first, last);
}
inline QString skippedLines(qint64 n)
{
    return n == 1 ? QStringLiteral(", 1 unreadable line skipped")
                  : QStringLiteral(", %1 unreadable lines skipped").arg(n);
}
inline QString yieldFigures(const QString &percent, qint64 ok, qint64 tries)
{
    return QStringLiteral("%1%  (%2 of %3)").arg(percent).arg(ok).arg(tries);
}
inline QString notAChart(const QString &path)
{
    return QStringLiteral("%1: the chart is a .png or a .svg file").arg(path);
}

} // namespace vell::report::texts
