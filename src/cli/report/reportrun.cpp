#include "reportrun.h"

#include "app/attemptlog.h"
#include "core/report/boardhistory.h"
#include "core/report/shiftchart.h"
#include "core/report/shiftreport.h"
#include "linedb/linereport.h"
#include "reporthistory.h"
#include "reportjson.h"
#include "reporttable.h"
#include "texts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <optional>

namespace vell::cli::report {

using vell::report::ShiftChart;
using vell::report::ShiftReport;

namespace {

constexpr int kExitUsage = 2;

int fail(const QString &text)
{
    QTextStream(stderr) << "vell-usb-programmer: " << text << "\n";
    return kExitUsage;
}

std::optional<QSize> chartSize(const QString &text)
{
    if (text.isEmpty())
        return ShiftChart::kDefaultSize;
    static const QRegularExpression form(QStringLiteral("^(\\d{3,4})x(\\d{3,4})$"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    const int w = m.captured(1).toInt(), h = m.captured(2).toInt();
    if (w < 200 || w > 8000 || h < 200 || h > 8000)
        return std::nullopt;
    return QSize(w, h);
}

int printHistory(const Options &options, const ShiftReport &bounds)
{
    vell::report::BoardHistory history(options.board);
    history.setSince(bounds.since());
    history.setUntil(bounds.until());
    const QString log = options.log.isEmpty() ? app::AttemptLog::defaultPath() : options.log;
    if (!history.readFile(log))
        return fail(texts::cannotRead(history.errorString()));
    QTextStream out(stdout);
    if (options.json)
        out << QJsonDocument(historyJson(history)).toJson(QJsonDocument::Compact) << "\n";
    else
        out << historyTable(history, options.board, QDir::toNativeSeparators(log));
    return history.entries().empty() ? 1 : 0;
}

} // namespace

int runReport(int &argc, char **argv, const Options &options)
{
    // Every value is checked before the log is read: a long read never ends in a usage error.
    if (!options.board.isEmpty() && !options.chart.isEmpty())
        return fail(texts::kHistoryNoChart);
    if (!options.chart.isEmpty() && !ShiftChart::knownFormat(options.chart))
        return fail(texts::badChartName(options.chart));
    if (!options.chart.isEmpty()) {
        const QFileInfo folder(QFileInfo(options.chart).absolutePath());
        if (!folder.isDir() || !folder.isWritable())
            return fail(texts::cannotDraw(texts::noChartFolder(options.chart)));
    }
    const std::optional<QSize> size = chartSize(options.chartSize);
    if (!size)
        return fail(texts::kBadChartSize);
    ShiftReport report;
    if (!options.since.isEmpty()) {
        const std::optional<qint64> since = ShiftReport::parseBound(options.since, false);
        if (!since)
            return fail(texts::badTime(QStringLiteral("--since"), options.since));
        report.setSince(since);
    }
    if (!options.until.isEmpty()) {
        const std::optional<qint64> until = ShiftReport::parseBound(options.until, true);
        if (!until)
            return fail(texts::badTime(QStringLiteral("--until"), options.until));
        report.setUntil(until);
    }

    if (!options.board.isEmpty())
        return printHistory(options, report);

    // The chart's text needs fonts, which need a QGuiApplication; it never needs a display.
    // Qt looks into the per-user runtime folder while it makes one, and warns where there is
    // none: a private folder for the report's short life. The line database is read on an
    // event loop.
    std::optional<QTemporaryDir> runtime;
    std::optional<QGuiApplication> application;
    std::optional<QCoreApplication> loop;
    if (!options.chart.isEmpty()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
            runtime.emplace();
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime->path()));
        }
        application.emplace(argc, argv);
    } else if (options.database) {
        loop.emplace(argc, argv);
    }
    QString shown;
    std::optional<linedb::LineReport> lineReport;
    if (options.database) {
        shown = options.database->shown();
        lineReport.emplace(*options.database, report.since(), report.until());
        QObject::connect(&*lineReport, &linedb::LineReport::finished, &*lineReport,
                         [](bool ok) { QCoreApplication::exit(ok ? 0 : kExitUsage); });
        QTimer::singleShot(0, &*lineReport, &linedb::LineReport::start);
        if (QCoreApplication::exec() != 0)
            return fail(texts::cannotReadDatabase(shown, lineReport->errorString()));
    } else {
        const QString log = options.log.isEmpty() ? app::AttemptLog::defaultPath() : options.log;
        if (!report.readFile(log))
            return fail(texts::cannotRead(report.errorString()));
        shown = QDir::toNativeSeparators(log);
    }
    const ShiftReport &shift = lineReport ? lineReport->report() : report;
    const bool fromDatabase = lineReport.has_value();
    QTextStream out(stdout);
    if (options.json)
        out << QJsonDocument(reportJson(shift, shown, options.since, options.until, fromDatabase))
                   .toJson(QJsonDocument::Compact)
            << "\n";
    else
        out << reportTable(shift, shown, options.since, options.until, fromDatabase);
    out.flush();
    QString error;
    if (!options.chart.isEmpty() &&
        !ShiftChart::write(shift, texts::kChartTitle, options.chart, *size, &error))
        return fail(texts::cannotDraw(error));
    return 0;
}

} // namespace vell::cli::report
