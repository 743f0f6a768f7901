#include "linereport.h"

#include "schema.h"
#include "texts.h"

#include "record/attemptrecord.h"

#include <algorithm>
#include <map>

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

// The report query's columns (schema::report()).
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
    kRun,
    kTry,
    kExpectedSha256,
    kExpectedCrc32,
    kCount,
    kFirstId,
    kLastId,
    kFirstMs,
    kLastMs,
    kLongestMs,
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
            m_db.execScript(schema::kReportSession, 0, [this](const PgOutcome &set) {
                if (set.ok())
                    count();
                else
                    finish(set.error);
            });
    });
}

std::vector<std::optional<QByteArray>> LineReport::bounds() const
{
    if (!m_since && !m_until)
        return {};
    return {bound(m_since), bound(m_until)};
}

void LineReport::count()
{
    std::vector<std::optional<QByteArray>> params{
        record::resultName(record::Result::Skipped).toUtf8(),
        QByteArray::number(report::DurationStats::kExactBelowMs)};
    for (const auto &b : bounds())
        params.push_back(b);
    m_db.exec(schema::report(!bounds().empty()), params, 0, [this](const PgOutcome &o) {
        if (!o.ok()) {
            finish(o.error);
            return;
        }
        fill(o.results.back());
        countTangledRuns();
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
    std::sort(alike.begin(), alike.end(),
              [&](int a, int b) { return r.number(a, kFirstId) < r.number(b, kFirstId); });
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
    // A programmer's runs: each run's first and last record. Where no two of them interleave,
    // the changes of run are as many as the runs; else they are counted in the server.
    std::map<report::ProgrammerTally *, std::vector<std::pair<qint64, qint64>>> runs;
    std::map<report::ProgrammerTally *, int> rowOf;
    for (int row = 0; row < r.rows(); ++row) {
        const std::optional<qint64> kind = r.number(row, kKind);
        if (kind == 1 && !r.isNull(row, kLongestMs)) {
            tally(row).addDurations(textOf(r, row, kStep), *r.number(row, kLongestMs),
                                    r.number(row, kCount).value_or(0));
        } else if (kind == 2) {
            // Every programmer was met among the alike groups: no tally is made here, so
            // these stay where they are.
            report::ProgrammerTally *t = &tally(row);
            runs[t].emplace_back(r.number(row, kFirstId).value_or(0),
                                 r.number(row, kLastId).value_or(0));
            rowOf[t] = row;
        }
    }
    m_tangled.clear();
    for (auto &[t, spans] : runs) {
        std::sort(spans.begin(), spans.end());
        qint64 reach = -1;
        bool tangled = false;
        for (const auto &[first, last] : spans) {
            tangled = tangled || first < reach;
            reach = std::max(reach, last);
        }
        if (!tangled) {
            t->addRuns(qint64(spans.size()));
            continue;
        }
        const int row = rowOf[t];
        m_tangled.push_back({r.value(row, kHost), r.value(row, kCom), r.value(row, kLocation),
                             r.value(row, kUsbSerial)});
    }
    m_report.addCounts(records, 0, 0);
}

void LineReport::countTangledRuns()
{
    if (m_tangled.empty()) {
        countBoards();
        return;
    }
    const Tangled t = m_tangled.back();
    m_tangled.pop_back();
    std::vector<std::optional<QByteArray>> params{t.host, t.com, t.location, t.usbSerial};
    for (const auto &b : bounds())
        params.push_back(b);
    m_db.exec(schema::reportRuns(!bounds().empty()), params, 0, [this, t](const PgOutcome &o) {
        if (!o.ok()) {
            finish(o.error);
            return;
        }
        m_report
            .programmer(QString::fromUtf8(t.host), t.com.toInt(), QString::fromUtf8(t.location),
                        QString::fromUtf8(t.usbSerial))
            .addRuns(o.results.back().number(0, 0).value_or(0));
        countTangledRuns();
    });
}

void LineReport::countBoards()
{
    std::vector<std::optional<QByteArray>> params{record::kStepProgramTarget.toUtf8(),
                                                  record::resultName(record::Result::Ok).toUtf8()};
    for (const auto &b : bounds())
        params.push_back(b);
    m_db.exec(schema::reportBoards(!bounds().empty()), params, 0, [this](const PgOutcome &o) {
        if (!o.ok()) {
            finish(o.error);
            return;
        }
        const PgResult &r = o.results.back();
        QStringList twice;
        for (int row = 0; row < r.rows(); ++row) {
            if (r.number(row, 0) == 1) {
                twice << textOf(r, row, 6);
                continue;
            }
            m_report
                .programmer(textOf(r, row, 1), int(r.number(row, 2).value_or(0)), textOf(r, row, 3),
                            textOf(r, row, 4))
                .addDistinctBoards(r.number(row, 5).value_or(0));
        }
        m_report.addBoardsProgrammedTwice(twice);
        if (!bounds().empty())
            countLeftOut();
        else
            finish(QString());
    });
}

void LineReport::countLeftOut()
{
    m_db.exec(schema::reportLeftOut(), bounds(), 0, [this](const PgOutcome &o) {
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
