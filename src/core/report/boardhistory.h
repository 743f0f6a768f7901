#pragma once

#include "record/attemptrecord.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

namespace vell::report {

/// One board's records in an attempt log, oldest first, within optional time bounds. Only the
/// lines that can name the board are read: those holding its serial as a record writes it, and
/// those with an escape that could spell it otherwise (\u, \/). The rest of the log is only
/// searched, so a year's log takes little more than reading it.
class BoardHistory
{
public:
    struct Entry
    {
        record::AttemptRecord record;
        QByteArray line; ///< as the log holds it
    };

    /// serial: a board serial (BoardRules::check takes it).
    explicit BoardHistory(const QString &serial);

    /// ms since the epoch, both ends included; nothing: no bound.
    void setSince(std::optional<qint64> ms) { m_since = ms; }
    void setUntil(std::optional<qint64> ms) { m_until = ms; }

    /// Reads the log; false, with errorString(), when it cannot be opened or read.
    [[nodiscard]] bool readFile(const QString &path);
    [[nodiscard]] QString errorString() const { return m_error; }

    /// Its records, oldest first (by time; those without one first).
    [[nodiscard]] const std::vector<Entry> &entries() const { return m_entries; }
    /// Lines holding its serial that are not records (cut, garbage), skipped.
    [[nodiscard]] qint64 unreadable() const { return m_unreadable; }

private:
    /// Whole lines (the last one may be the log's last, without its newline).
    void searchLines(QByteArrayView text);
    void readLine(QByteArrayView line);

    QString m_serial;
    QByteArray m_needle; ///< the serial as a JSON string, quotes included
    std::optional<qint64> m_since;
    std::optional<qint64> m_until;
    std::vector<Entry> m_entries;
    qint64 m_unreadable = 0;
    QString m_error;
};

} // namespace vell::report
