#pragma once

#include <QString>

namespace vell::linedb {

/// How far an attempt log has been sent to one line database: a file beside the log
/// (attempts.jsonl.shipped), replaced atomically after each commit. It names the database
/// (masked), so a log sent to another database is sent again from its start; a record sent
/// twice is stored once.
class ShipCursor
{
public:
    /// A place in the log: the byte after a line's newline, and that line's number.
    struct Position
    {
        qint64 offset = 0;
        qint64 line = 0;
        bool operator==(const Position &o) const { return offset == o.offset && line == o.line; }
        bool operator!=(const Position &o) const { return !(*this == o); }
    };

    ShipCursor(const QString &logPath, const QString &database);

    [[nodiscard]] static QString pathFor(const QString &logPath);
    [[nodiscard]] QString path() const { return m_path; }

    /// Where sending goes on in the log: the kept position when it is this database's and still
    /// stands at a line's end in the log, else the log's start.
    [[nodiscard]] Position read() const;
    /// Keeps position; false, with errorString(), when the file cannot be replaced.
    [[nodiscard]] bool write(const Position &position);
    [[nodiscard]] QString errorString() const { return m_error; }

private:
    QString m_logPath;
    QString m_path;
    QString m_database;
    QString m_error;
};

} // namespace vell::linedb
