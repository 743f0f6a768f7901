#pragma once

#include "databaseurl.h"
#include "pgconnection.h"

#include "report/shiftreport.h"

#include <QObject>
#include <QString>

#include <optional>
#include <vector>

namespace vell::linedb {

/// The shift report over the line database: the same figures as over a log, counted in the
/// server (GROUP BY) and brought into the report's own tallies, with each programmer's host.
class LineReport : public QObject
{
    Q_OBJECT
public:
    /// since, until: ms since the epoch, both included; nothing: no bound.
    LineReport(const DatabaseUrl &url, std::optional<qint64> since, std::optional<qint64> until,
               QObject *parent = nullptr);

    /// Connects and counts; finished tells when the report is ready or why it is not.
    void start();
    [[nodiscard]] const report::ShiftReport &report() const { return m_report; }
    [[nodiscard]] QString errorString() const { return m_error; }

Q_SIGNALS:
    void finished(bool ok);

private:
    /// A programmer whose runs interleave: its runs are counted apart.
    struct Tangled
    {
        QByteArray host, com, location, usbSerial;
    };

    void checkVersion();
    /// The period's bounds as parameters (none without a bound).
    [[nodiscard]] std::vector<std::optional<QByteArray>> bounds() const;
    void count();
    void fill(const PgResult &rows);
    void countTangledRuns();
    void countBoards();
    void countLeftOut();
    void finish(const QString &error);

    static constexpr int kConnectTimeoutMs = 10000;

    DatabaseUrl m_url;
    std::optional<qint64> m_since;
    std::optional<qint64> m_until;
    PgConnection m_db;
    report::ShiftReport m_report;
    std::vector<Tangled> m_tangled;
    QString m_error;
};

} // namespace vell::linedb
