#pragma once

#include <QString>

// Texts of the line database, word for word, for every front end.
namespace vell::linedb::texts {

/// Below the windows' panes, and in a headless summary: records that wait in the log.
inline QString notYetShipped(qint64 count, const QString &why)
{
    return count == 1
               ? QStringLiteral("1 record not yet in the line database: %1").arg(why)
               : QStringLiteral("%1 records not yet in the line database: %2").arg(count).arg(why);
}
/// Why records wait when nothing failed: the headless run's wait ended first.
inline QString stillSending(int seconds)
{
    return QStringLiteral("still being sent after %1 s").arg(seconds);
}
/// --ship's line when all is there.
inline QString shipped(qint64 stored, qint64 alreadyThere, const QString &database)
{
    return QStringLiteral("line database %1: %2 records stored, %3 were there already; none "
                          "waits")
        .arg(database)
        .arg(stored)
        .arg(alreadyThere);
}
/// --ship when no record waits but the database could not be reached.
inline QString unreachable(const QString &database, const QString &why)
{
    return QStringLiteral("line database %1: %2").arg(database, why);
}
/// A line of the log that is not a record: skipped, never sent.
inline QString notARecord(const QString &log, qint64 line)
{
    return QStringLiteral("%1 line %2 is not a record: skipped, not sent to the line database")
        .arg(log)
        .arg(line);
}
/// A record the server will not store (its text cannot be one of its values): skipped.
inline QString refusedRecord(const QString &log, qint64 line, const QString &why)
{
    return QStringLiteral("%1 line %2: the line database refuses this record (%3); skipped")
        .arg(log)
        .arg(line)
        .arg(why);
}

inline QString cannotReadLog(const QString &reason)
{
    return QStringLiteral("cannot read the attempt log %1").arg(reason);
}
inline QString cannotKeepCursor(const QString &path, const QString &reason)
{
    return QStringLiteral("cannot keep the shipped position in %1: %2").arg(path, reason);
}
inline QString newerSchema(qint64 found, int known)
{
    return QStringLiteral("the line database's tables are of version %1, newer than this "
                          "tool knows (%2): update the tool; the tables are left as they are")
        .arg(found)
        .arg(known);
}
inline QString cannotCreateTables(const QString &why)
{
    return QStringLiteral("cannot create or update the line database's tables (run the tool "
                          "once as the database's owner): %1")
        .arg(why);
}
inline const QString kNoTables =
    QStringLiteral("the line database has no records table yet: nothing has been sent to it");
inline QString unknownHost(const QString &host, const QString &why)
{
    return QStringLiteral("cannot find the database host %1: %2").arg(host, why);
}
inline QString connectionLost(const QString &why)
{
    return QStringLiteral("the connection to the line database was lost: %1").arg(why);
}
inline QString noConnection(int seconds)
{
    return QStringLiteral("no connection to the line database within %1 s").arg(seconds);
}
inline QString noAnswer(int seconds)
{
    return QStringLiteral("no answer from the line database within %1 s").arg(seconds);
}
inline const QString kNotConnected = QStringLiteral("not connected to the line database");
inline const QString kServerError = QStringLiteral("the line database reported an error");

} // namespace vell::linedb::texts
