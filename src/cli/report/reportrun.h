#pragma once

#include "linedb/databaseurl.h"

#include <QString>

#include <optional>

// The shift report on the command line (--report): the figures of an attempt log as a table
// or one JSON object on stdout, and the chart. Library `vell_cli_report`.

namespace vell::cli::report {

/// What the command line asks of the report. main.cpp fills it.
struct Options
{
    QString log; ///< empty: the default attempt log
    QString since;
    QString until;
    bool json = false;
    QString chart;     ///< --report-chart FILE, empty without it
    QString chartSize; ///< --report-chart-size WIDTHxHEIGHT, empty: the default
    QString board;     ///< --board SERIAL: that board's history instead of the report
    /// --database URL: the line's report over the line database instead of a log.
    std::optional<linedb::DatabaseUrl> database;
};

/// Reads the log (or the line database) and prints the report; exit 0, or 2 (with a message on
/// stderr) for a bad option value, a log or database that cannot be read or a chart that
/// cannot be written. Unreadable lines are counted and reported, never fatal. With a board,
/// prints its history instead: exit 0 when it has records, 1 when it has none. Makes its own
/// QGuiApplication (offscreen),
/// which the chart's fonts need.
[[nodiscard]] int runReport(int &argc, char **argv, const Options &options);

} // namespace vell::cli::report
