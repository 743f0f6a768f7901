#include "reporthistory.h"

#include "reporttable.h"
#include "texts.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace vell::cli::report {

using vell::report::BoardHistory;

namespace {

QString orDash(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}

} // namespace

QString historyTable(const BoardHistory &history, const QString &serial, const QString &log)
{
    if (history.entries().empty())
        return texts::noHistory(serial, log) + u'\n';
    QString head = texts::historyLine(serial, log, qint64(history.entries().size()));
    if (history.unreadable() > 0)
        head += QStringLiteral("; ") + texts::unreadableNamingIt(history.unreadable());
    QList<QStringList> rows{{texts::kHeadTime, texts::kHeadHost, texts::kHeadProgrammer,
                             texts::kHeadCom, texts::kHeadStep, texts::kHeadTry, texts::kHeadResult,
                             texts::kHeadImage, texts::kHeadSha256}};
    for (const BoardHistory::Entry &e : history.entries()) {
        const record::AttemptRecord &r = e.record;
        rows << QStringList{r.timeMs ? record::AttemptRecord::timeText(*r.timeMs)
                                     : QStringLiteral("-"),
                            orDash(r.host),
                            QString::number(r.programmer),
                            QString::number(r.com),
                            orDash(r.step),
                            r.tryNumber ? QString::number(*r.tryNumber) : QStringLiteral("-"),
                            orDash(r.result),
                            orDash(r.file ? r.file->name : QString()),
                            orDash(r.file ? r.file->sha256 : QString())};
    }
    const QStringList lines =
        alignColumns(rows, {false, false, true, true, false, true, false, false, false});
    return head + QStringLiteral("\n\n") + lines.join(u'\n') + u'\n';
}

QJsonArray historyJson(const BoardHistory &history)
{
    QJsonArray records;
    for (const BoardHistory::Entry &e : history.entries())
        records.append(QJsonDocument::fromJson(e.line).object());
    return records;
}

} // namespace vell::cli::report
