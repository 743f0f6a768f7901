#pragma once

#include "databaseurl.h"
#include "pgconnection.h"
#include "shipcursor.h"

#include <QFile>
#include <QFutureWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace vell::app {
class Station;
}

namespace vell::linedb {

/// How long the shipper waits, and how many records a batch holds; only tests shorten them.
struct ShipperTimings
{
    int batchRecords = 2000;
    int firstRetryMs = 1000;
    int longestRetryMs = 60000;
    int connectTimeoutMs = 10000;
    int queryTimeoutMs = 60000;
};

/// Sends an attempt log's records to the line database, in the log's order, in batches of one
/// transaction each (a record_id already there is left as it is), and keeps how far it got in
/// a cursor file beside the log after each commit. The log is the queue: at start the records
/// after the cursor go first; while the database cannot be reached they wait there, and
/// sending is tried again after 1 s, then twice as long each time, up to 60 s. A line that is
/// not a record is skipped, counted and named. Nothing waits for it: it runs on the event loop.
class Shipper : public QObject
{
    Q_OBJECT
public:
    using Timings = ShipperTimings;
    enum class State
    {
        Stopped,    ///< not started
        Connecting, ///< connecting, or checking the tables
        Sending,
        CaughtUp, ///< connected, and every record counted is in the database
        Waiting,  ///< the last try failed; the next comes after the back-off
    };
    static constexpr qint64 kBatchBytes = 4 << 20;
    /// The log is counted this much per turn of the event loop.
    static constexpr qint64 kScanSliceBytes = 4 << 20;
    /// Lines that are not records named one by one; the rest are counted.
    static constexpr int kLinesNamed = 10;

    Shipper(const QString &logPath, const DatabaseUrl &url, const Timings &timings = {},
            QObject *parent = nullptr);
    ~Shipper() override;

    /// Follows station: sends its log, and what each of its steps appends to it. Null when the
    /// station keeps no log. The one call a front end makes.
    [[nodiscard]] static std::unique_ptr<Shipper> follow(app::Station &station,
                                                         const DatabaseUrl &url);

    /// Counts the records after the cursor, connects and sends them.
    void start();
    /// The log grew: the new lines are counted, and sent unless a retry waits.
    void poke();

    [[nodiscard]] State state() const { return m_state; }
    /// Records of the log, as far as it was counted, not yet in the database.
    [[nodiscard]] qint64 unsent() const { return m_unsent; }
    /// Records wait, or the log is not counted to its end yet.
    [[nodiscard]] bool pending() const { return m_unsent > 0 || m_scanQueued; }
    /// Connected, and the database holds every record of the log.
    [[nodiscard]] bool caughtUp() const { return m_state == State::CaughtUp && !pending(); }
    /// Why the last try failed; empty once one succeeded.
    [[nodiscard]] QString problem() const { return m_problem; }
    /// "N records not yet in the line database: WHY" while records wait after a failure, else
    /// empty.
    [[nodiscard]] QString statusText() const;
    /// Records the database took in this run, and those it held already.
    [[nodiscard]] qint64 sent() const { return m_sent; }
    [[nodiscard]] qint64 alreadyThere() const { return m_alreadyThere; }
    /// Lines skipped in this run: not records, or records the database refused.
    [[nodiscard]] qint64 skipped() const { return m_skipped; }
    [[nodiscard]] const DatabaseUrl &url() const { return m_url; }

Q_SIGNALS:
    /// Any of state, unsent, problem changed.
    void changed();
    /// A line was skipped (the first kLinesNamed of them): text names it.
    void lineSkipped(const QString &text);

public:
    /// What one batch holds: the insert's columns of the records between two places in the
    /// log. Made off the event loop, in the thread pool.
    struct Batch
    {
        /// The insert's parameters, in binary: an array per field, then the lines.
        std::vector<std::optional<QByteArray>> columns;
        qint64 bytes = 0;
        int records = 0;
        /// Lines the scan counted as records in it: its records, and lines that only looked
        /// like records (named in skipped).
        int counted = 0;
        qint64 firstLine = 0;
        ShipCursor::Position from;
        ShipCursor::Position end;
        /// Lines that turned out not to be records: where each ends, and its text.
        std::vector<std::pair<qint64, QString>> skipped;
        QString error; ///< the log could not be read
    };
    /// Reads the lines of the log at path from from, up to until (a line's end), and makes a
    /// batch of at most most records. Touches nothing of a Shipper: it runs in any thread.
    [[nodiscard]] static Batch build(const QString &path, ShipCursor::Position from, qint64 until,
                                     int most);

private:
    /// A connection with the batch it works on. A batch is one transaction on one lane: begun,
    /// its rows staged in the lane's own table (the server parses them there), then, in the
    /// log's order, inserted from there and committed. A second lane is opened while more than
    /// a batch waits, so the server parses the next batch while it stores this one. Where the
    /// role may not make a table of its own (no TEMPORARY right), each batch is one statement
    /// on one lane instead.
    struct Lane
    {
        enum class Step
        {
            Idle,
            Staging,
            Staged,
            Inserting,
            Undoing, ///< rolling back a batch left
        };
        std::unique_ptr<PgConnection> db = std::make_unique<PgConnection>();
        Step step = Step::Idle;
        std::optional<Batch> batch;
        /// The connection the batch was staged on: stored only there.
        quint64 session = 0;
    };
    static constexpr int kLanes = 2;

    void setState(State state);
    bool openLog();
    /// The file at the log's path is no longer the one counted (replaced, or cut shorter).
    [[nodiscard]] bool logReplaced();
    /// Sends the log at the path from its start: what was counted of the old one is left.
    void restartLog();
    void queueScan();
    void scan();
    void skipLine(const QString &text);
    void sendNext();
    /// The next batch from from is made in the thread pool; onBuilt takes it.
    void startBuild(const ShipCursor::Position &from);
    void onBuilt();
    void connectNow();
    void openSecondLane();
    void prepare();
    void migrate();
    /// Whether the role may stage batches in a table of its own; then sends.
    void checkStaging();
    /// The lane's connection ended while nothing waited on it.
    void onLost(Lane &lane, const QString &why);
    /// Where the batches the lanes hold end (the cursor when they hold none).
    [[nodiscard]] ShipCursor::Position queuedEnd() const;
    [[nodiscard]] bool anyBatch() const;
    [[nodiscard]] bool usable(const Lane &lane) const;
    void stage(Lane &lane, Batch batch);
    void insertStaged(Lane &lane);
    void onInserted(Lane &lane, const PgOutcome &outcome);
    /// A statement of lane's batch failed: a value the server cannot hold is looked for one
    /// record at a time; anything else is a failure of the connection.
    void onBatchFailed(Lane &lane, const PgOutcome &outcome);
    /// The lane's connection closed, its batch (and its table) gone with it.
    void closeLane(Lane &lane);
    /// The lane's batch is left: its transaction rolled back, the lane free again after.
    void undo(Lane &lane);
    /// The cursor passes end, counted lines fewer wait; false (after fail) when it cannot be
    /// kept.
    bool advance(const ShipCursor::Position &end, int counted);
    void fail(const QString &why);

    const QByteArray m_begin;
    const QByteArray m_stage;
    const QByteArray m_insertStaged;
    const QByteArray m_insertDirect;
    QString m_logPath;
    DatabaseUrl m_url;
    Timings m_timings;
    ShipCursor m_cursorFile;
    std::array<Lane, kLanes> m_lanes;
    QFile m_log;
    QTimer m_retry;
    int m_retryMs;
    State m_state = State::Stopped;
    ShipCursor::Position m_cursor;
    ShipCursor::Position m_scanned;
    /// Records go one at a time (and one batch at a time) up to here: a batch held one the
    /// server refused.
    qint64 m_singlesUntil = 0;
    /// Lines that are not records are named once: those before here were.
    qint64 m_namedUntil = 0;
    /// The batch made meanwhile.
    std::optional<Batch> m_next;
    QFutureWatcher<Batch> m_building;
    bool m_buildRunning = false;
    /// The second lane could not be opened: this catch-up goes on with one.
    bool m_secondLaneRefused = false;
    /// No table of its own for this role: each batch goes as one statement, on one lane.
    bool m_direct = false;
    qint64 m_unsent = 0;
    qint64 m_sent = 0;
    qint64 m_alreadyThere = 0;
    qint64 m_skipped = 0;
    bool m_scanQueued = false;
    bool m_prepared = false;
    bool m_migrated = false;
    QString m_problem;
};

} // namespace vell::linedb
