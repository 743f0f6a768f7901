#include "reporttable.h"

#include "texts.h"

#include <QDateTime>
#include <QStringList>

#include <algorithm>
#include <optional>

namespace vell::cli::report {

using vell::report::ProgrammerTally;
using vell::report::ShiftReport;

namespace {

QString utc(const std::optional<qint64> &ms)
{
    return ms ? QDateTime::fromMSecsSinceEpoch(*ms).toUTC().toString(Qt::ISODate)
              : QStringLiteral("-");
}

QString seconds(const std::optional<qint64> &ms)
{
    return ms ? QString::number(double(*ms) / 1000.0, 'f', 1) + QStringLiteral(" s")
              : QStringLiteral("-");
}

QString durations(const ProgrammerTally &t, const QString &step)
{
    for (const ProgrammerTally::Step &s : t.steps())
        if (s.name == step)
            return seconds(s.durations.median()) + QStringLiteral(" / ") +
                   seconds(s.durations.longest());
    return QStringLiteral("-");
}

QString yieldText(const ProgrammerTally &t)
{
    return t.yield() ? QString::number(*t.yield() * 100.0, 'f', 1) + QLatin1Char('%')
                     : QStringLiteral("-");
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

} // namespace

QStringList alignColumns(const QList<QStringList> &rows, const QList<bool> &right)
{
    QList<qsizetype> widths(right.size(), 0);
    for (const QStringList &row : rows)
        for (qsizetype c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    QStringList lines;
    for (const QStringList &row : rows) {
        QStringList cells;
        for (qsizetype c = 0; c < row.size(); ++c)
            cells << (right[c] ? row[c].rightJustified(widths[c])
                               : row[c].leftJustified(widths[c]));
        QString text = cells.join(QStringLiteral("  "));
        while (text.endsWith(u' '))
            text.chop(1);
        lines << text;
    }
    return lines;
}

QString reportTable(const ShiftReport &report, const QString &source, const QString &since,
                    const QString &until, bool byHost)
{
    QStringList out;
    QString head = byHost ? texts::databaseLine(source, report.records())
                          : texts::logLine(source, report.records());
    if (report.malformed() > 0) {
        QStringList numbers;
        for (qint64 n : report.malformedLines())
            numbers << QString::number(n);
        if (report.malformed() > report.malformedLines().size())
            numbers << QStringLiteral("...");
        head += QStringLiteral("; ") + texts::skippedLines(report.malformed(), numbers.join(u", "));
    }
    if (report.outside() > 0)
        head += QStringLiteral("; ") + texts::outsideRecords(report.outside());
    if (report.undated() > 0)
        head += QStringLiteral("; ") + texts::undatedRecords(report.undated());
    out << head;
    if (!since.isEmpty() || !until.isEmpty())
        out << texts::period(since.isEmpty() ? texts::kOpenStart : since,
                             until.isEmpty() ? texts::kOpenEnd : until);
    const std::vector<const ProgrammerTally *> programmers = report.programmers();
    if (programmers.empty()) {
        out << texts::kNoRecords;
        return out.join(u'\n') + u'\n';
    }

    // Cells first, then each column as wide as its widest cell (numbers to the right).
    QStringList heads = {texts::kHeadCom,         texts::kHeadSerial,   texts::kHeadLocation,
                         texts::kHeadBoards,      texts::kHeadOk,       texts::kHeadFailed,
                         texts::kHeadYield,       texts::kHeadDistinct, texts::kHeadLoads,
                         texts::kHeadLoadsFailed, texts::kHeadRetries,  texts::kHeadLoad,
                         texts::kHeadTarget,      texts::kHeadFirst,    texts::kHeadLast};
    QList<bool> right = {true, false, false, true, true, true,  true, true,
                         true, true,  true,  true, true, false, false};
    if (byHost) {
        heads.prepend(texts::kHeadHost);
        right.prepend(false);
    }
    QList<QStringList> rows{heads};
    for (const ProgrammerTally *t : programmers)
        rows << (byHost ? QStringList{t->host().isEmpty() ? QStringLiteral("-") : t->host()}
                        : QStringList()) +
                    QStringList{QString::number(t->com()),
                                t->usbSerial().isEmpty() ? QStringLiteral("-") : t->usbSerial(),
                                t->location().isEmpty() ? QStringLiteral("-") : t->location(),
                                QString::number(t->tally().boards()),
                                QString::number(t->tally().boardsOk),
                                QString::number(t->tally().boardsFailed),
                                yieldText(*t),
                                QString::number(t->distinctBoards()),
                                QString::number(t->tally().loads()),
                                QString::number(t->tally().loadsFailed),
                                QString::number(t->retries()),
                                durations(*t, QStringLiteral("load")),
                                durations(*t, QStringLiteral("program-target")),
                                utc(t->first()),
                                utc(t->last())};
    const QStringList lines = alignColumns(rows, right);
    out << QString() << lines[0];
    for (size_t i = 0; i < programmers.size(); ++i) {
        out << lines[qsizetype(i) + 1];
        QString label = texts::kFailures;
        for (const ProgrammerTally::Failure &f : programmers[i]->failures()) {
            QStringList described;
            for (const QString &text : f.texts)
                described << quoted(text);
            if (f.moreTexts > 0)
                described << texts::moreTexts(f.moreTexts);
            out << QStringLiteral("      %1 %2 x %3: %4")
                       .arg(label)
                       .arg(f.count)
                       .arg(f.code ? texts::codeName(*f.code) : f.result, described.join(u", "));
            label.fill(u' ');
        }
    }
    return out.join(u'\n') + u'\n';
}

} // namespace vell::cli::report
