#pragma once

#include "boardtable.h"
#include "programmertally.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <optional>
#include <vector>

namespace vell::report {

/// The shift report over an attempt log: each programmer's tally of the records whose time
/// lies in [since, until], and how many lines were not records. Reads the log as a stream of
/// chunks: its memory is the tallies, one chunk and one line, however long the log.
class ShiftReport
{
public:
    /// A line longer than this is not a record; the reader skips it to its newline.
    static constexpr qsizetype kMaxLineBytes = 1 << 20;
    static constexpr int kMaxMalformedLinesListed = 10;

    /// ms since the epoch, both ends included; nothing: no bound.
    void setSince(std::optional<qint64> ms) { m_since = ms; }
    void setUntil(std::optional<qint64> ms) { m_until = ms; }
    [[nodiscard]] std::optional<qint64> since() const { return m_since; }
    [[nodiscard]] std::optional<qint64> until() const { return m_until; }

    /// A bound for setSince/setUntil from ISO 8601 text: a date and time (without an offset:
    /// local time), or a date alone, which stands for the start of that local day, or with
    /// endOfDay for its last millisecond. Nothing when the text is not such a time.
    [[nodiscard]] static std::optional<qint64> parseBound(const QString &text, bool endOfDay);

    /// The next bytes of the log, cut anywhere.
    void addBytes(QByteArrayView bytes);
    /// The end of the log: a last line without its newline is read too.
    void finish();
    /// Reads the whole file through addBytes and finish; false, with errorString(), when it
    /// cannot be opened or read.
    [[nodiscard]] bool readFile(const QString &path);
    [[nodiscard]] QString errorString() const { return m_error; }

    /// By host (a line's report), COM number, then location and USB serial.
    [[nodiscard]] std::vector<const ProgrammerTally *> programmers() const;
    /// The tally of a programmer, made when first asked for. The log's programmers have no
    /// host; the line database's report fills its own tallies here.
    [[nodiscard]] ProgrammerTally &programmer(const QString &host, int com, const QString &location,
                                              const QString &usbSerial);
    /// What the line database's report counted: records in the period, outside it, undated.
    void addCounts(qint64 records, qint64 outside, qint64 undated);
    /// Records counted (inside the time bounds).
    [[nodiscard]] qint64 records() const { return m_records; }
    /// Lines that are not records: not a JSON object with a result, cut, or too long.
    [[nodiscard]] qint64 malformed() const { return m_malformed; }
    /// Their line numbers (from 1), the first kMaxMalformedLinesListed.
    [[nodiscard]] QList<qint64> malformedLines() const { return m_malformedLines; }
    /// Records outside the time bounds, and records without a readable time while a bound is
    /// set: left out.
    [[nodiscard]] qint64 outside() const { return m_outside; }
    [[nodiscard]] qint64 undated() const { return m_undated; }
    [[nodiscard]] qint64 lines() const { return m_lineNumber; }
    /// The board serials programmed OK by more than one program-target, sorted.
    /// Board serials programmed OK more than once, sorted.
    [[nodiscard]] QStringList boardsProgrammedTwice() const;
    /// What the line database's report counted of them.
    void addBoardsProgrammedTwice(const QStringList &serials);

private:
    void addLine(QByteArrayView line);
    /// The index of the record's programmer in m_tallies, a new one made for a new programmer.
    qsizetype tallyOf(const QString &host, int com, const QString &location,
                      const QString &usbSerial);
    void malformedLine();

    std::optional<qint64> m_since;
    std::optional<qint64> m_until;
    static constexpr size_t kFewProgrammers = 16;
    std::vector<ProgrammerTally> m_tallies;
    BoardTable m_boards;               ///< by index into m_tallies
    QStringList m_programmedTwice;     ///< counted by the line database
    QHash<QString, qsizetype> m_index; ///< identity key -> index into m_tallies
    QByteArray m_partial;              ///< the start of a line cut at a chunk's end
    bool m_skippingLongLine = false;
    qint64 m_lineNumber = 0;
    qint64 m_records = 0;
    qint64 m_malformed = 0;
    qint64 m_outside = 0;
    qint64 m_undated = 0;
    QList<qint64> m_malformedLines;
    QString m_error;
};

} // namespace vell::report
