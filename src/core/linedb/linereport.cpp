#include "linereport.h"

#include "schema.h"
#include "texts.h"

#include "record/attemptrecord.h"

#include <algorithm>

namespace vell::linedb {

namespace {

std::optional<QByteArray> bound(const std::optional<qint64> &ms)
{
    return ms ? std::optional<QByteArray>(QByteArray::number(*ms)) : std::nullopt;
}

QString textOf(const PgResult &r, int row, int column)
{
    return QString::fromUtf8(r.value(row, column));
}

std::optional<int> smallNumber(const PgResult &r, int row, int column)
{
    const std::optional<qint64> n = r.number(row, column);
    return n ? std::optional<int>(int(*n)) : std::nullopt;
}

// The report query's columns (schema::kReport).
enum Column
{
    kKind,
    kHost,
    kCom,
    kLocation,
    kUsbSerial,
    kStep,
    kResult,
    kCode,
    kText,
    kTry,
    kExpectedSha256,
    kExpectedCrc32,
    kCount,
    kFirstId,
    kFirstMs,
    kLastMs,
    kLongestMs,
    kRuns,
};

} // namespace

LineReport::LineReport(const DatabaseUrl &url, std::optional<qint64> since,
                       std::optional<qint64> until, QObject *parent)
    : QObject(parent), m_url(url), m_since(since), m_until(until)
{
    m_report.setSince(since);
    m_report.setUntil(until);
}

void LineReport::start()
{
    m_db.open(m_url, kConnectTimeoutMs, [this](const QString &error) {
        if (error.isEmpty())
            checkVersion();
        else
            finish(error);
    });
}

void LineReport::checkVersion()
{
    m_db.exec(schema::kVersionQuery, {}, 0, [this](const PgOutcome &o) {
        if (o.sqlState == "42P01")
            finish(texts::kNoTables);
        else if (!o.ok())
            finish(o.error);
        else if (const qint64 v = o.results.back().number(0, 0).value_or(0); v > schema::kVersion)
            finish(texts::newerSchema(v, schema::kVersion));
        else if (v < schema::kVersion)
            finish(texts::kNoTables);
        else
            count();
    });
}

void LineReport::count()
{
    m_db.exec(schema::kReport,
              {bound(m_since), bound(m_until), record::resultName(record::Result::Skipped).toUtf8(),
               QByteArray::number(report::DurationStats::kExactBelowMs)},
              0, [this](const PgOutcome &o) {
                  if (!o.ok()) {
                      finish(o.error);
                      return;
                  }
                  fill(o.results.back());
                  if (m_since || m_until)
                      countLeftOut();
                  else
                      finish(QString());
              });
}

void LineReport::fill(const PgResult &r)
{
    const auto tally = [&](int row) -> report::ProgrammerTally & {
        return m_report.programmer(textOf(r, row, kHost), int(r.number(row, kCom).value_or(0)),
                                   textOf(r, row, kLocation), textOf(r, row, kUsbSerial));
    };
    // Each group in the order its first record came, as the log report meets them.
    std::vector<int> alike;
    for (int row = 0; row < r.rows(); ++row)
        if (r.number(row, kKind) == 0)
            alike.push_back(row);
    std::sort(alike.begin(), alike.end(), [&](int a, int b) {
        return r.number(a, kFirstId) < r.number(b, kFirstId);
    });
    qint64 records = 0;
    for (int row : alike) {
        record::AttemptRecord like;
        like.step = textOf(r, row, kStep);
        like.result = textOf(r, row, kResult);
        like.code = smallNumber(r, row, kCode);
        like.text = textOf(r, row, kText);
        like.tryNumber = smallNumber(r, row, kTry);
        like.expectedSha256 = textOf(r, row, kExpectedSha256);
        like.expectedCrc32 = textOf(r, row, kExpectedCrc32);
        like.timeMs = r.number(row, kFirstMs);
        const qint64 n = r.number(row, kCount).value_or(0);
        tally(row).addAlike(like, n, r.number(row, kLastMs));
        records += n;
    }
    for (int row = 0; row < r.rows(); ++row) {
        const std::optional<qint64> kind = r.number(row, kKind);
        if (kind == 1 && !r.isNull(row, kLongestMs))
            tally(row).addDurations(textOf(r, row, kStep), *r.number(row, kLongestMs),
                                    r.number(row, kCount).value_or(0));
        else if (kind == 2)
            tally(row).addRuns(r.number(row, kRuns).value_or(0));
    }
    m_report.addCounts(records, 0, 0);
}

void LineReport::countLeftOut()
{
    m_db.exec(schema::kReportLeftOut, {bound(m_since), bound(m_until)}, 0,
              [this](const PgOutcome &o) {
                  if (!o.ok()) {
                      finish(o.error);
                      return;
                  }
                  const PgResult &r = o.results.back();
                  m_report.addCounts(0, r.number(0, 0).value_or(0), r.number(0, 1).value_or(0));
                  finish(QString());
              });
}

void LineReport::finish(const QString &error)
{
    m_error = error;
    m_db.close();
    Q_EMIT finished(error.isEmpty());
}

} // namespace vell::linedb
