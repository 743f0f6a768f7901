#include "boardhistory.h"

#include "shiftreport.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <utility>

namespace vell::report {

namespace {

constexpr qint64 kChunkBytes = 4 << 20;

using record::AttemptRecord;
constexpr AttemptRecord::Fields kFieldsRead = AttemptRecord::FieldTime | AttemptRecord::FieldHost |
                                              AttemptRecord::FieldProgrammer |
                                              AttemptRecord::FieldCom | AttemptRecord::FieldStep |
                                              AttemptRecord::FieldFile | AttemptRecord::FieldBoard;

/// text as the record's writer spells a JSON string; other spellings need a \u or a \/.
QByteArray jsonString(const QString &text)
{
    QByteArray out = "\"";
    for (const char c : text.toUtf8()) {
        const char *escape = c == '"'    ? "\\\""
                             : c == '\\' ? "\\\\"
                             : c == '\b' ? "\\b"
                             : c == '\f' ? "\\f"
                             : c == '\n' ? "\\n"
                             : c == '\r' ? "\\r"
                             : c == '\t' ? "\\t"
                                         : nullptr;
        if (escape)
            out += escape;
        else
            out += c;
    }
    return out + '"';
}

/// The first \u or \/ at or after from, or end.
const char *escapeFrom(const char *from, const char *end)
{
    while (from < end) {
        const auto *at = static_cast<const char *>(std::memchr(from, '\\', size_t(end - from)));
        if (!at || at + 1 == end)
            return end;
        if (at[1] == 'u' || at[1] == '/')
            return at;
        from = at + 2;
    }
    return end;
}

} // namespace

BoardHistory::BoardHistory(const QString &serial) : m_serial(serial), m_needle(jsonString(serial))
{
}

void BoardHistory::readLine(QByteArrayView line)
{
    if (line.size() > ShiftReport::kMaxLineBytes)
        return;
    const std::optional<AttemptRecord> record = AttemptRecord::parse(line, kFieldsRead);
    if (!record) {
        if (line.contains(m_needle))
            ++m_unreadable;
        return;
    }
    if (record->board != m_serial)
        return;
    if (m_since || m_until) {
        if (!record->timeMs || (m_since && *record->timeMs < *m_since) ||
            (m_until && *record->timeMs > *m_until))
            return;
    }
    m_entries.push_back({*record, line.toByteArray()});
}

void BoardHistory::searchLines(QByteArrayView text)
{
    const std::boyer_moore_horspool_searcher searcher(m_needle.cbegin(), m_needle.cend());
    const char *const begin = text.data();
    const char *const end = begin + text.size();
    const char *from = begin;
    const char *serialAt = nullptr; // the next hit of each kind at or after from, else end
    const char *escapeAt = nullptr;
    while (from < end) {
        if (!serialAt || serialAt < from)
            serialAt = std::search(from, end, searcher);
        if (!escapeAt || escapeAt < from)
            escapeAt = escapeFrom(from, end);
        const char *hit = std::min(serialAt, escapeAt);
        if (hit == end)
            return;
        const char *start = begin + QByteArrayView(begin, hit - begin).lastIndexOf('\n') + 1;
        const auto *newline = static_cast<const char *>(std::memchr(hit, '\n', size_t(end - hit)));
        const char *stop = newline ? newline : end;
        readLine(QByteArrayView(start, stop - start));
        from = stop + 1;
    }
}

bool BoardHistory::readFile(const QString &path)
{
    QFile file(path);
    const auto failed = [&] {
        m_error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    };
    if (!file.open(QIODevice::ReadOnly))
        return failed();
    QByteArray buffer;
    qsizetype kept = 0;    // an unfinished line at the buffer's start
    bool skipping = false; // within a line too long to be a record
    for (;;) {
        if (buffer.size() < kept + kChunkBytes)
            buffer.resize(kept + kChunkBytes);
        const qint64 n = file.read(buffer.data() + kept, kChunkBytes);
        if (n < 0)
            return failed();
        if (n == 0) {
            if (!skipping)
                searchLines(QByteArrayView(buffer.constData(), kept));
            break;
        }
        const QByteArrayView filled(buffer.constData(), kept + n);
        const qsizetype last = filled.lastIndexOf('\n');
        qsizetype start = 0;
        if (last >= 0) {
            if (std::exchange(skipping, false))
                start = filled.indexOf('\n') + 1;
            if (start <= last)
                searchLines(filled.sliced(start, last - start));
            kept = filled.size() - last - 1;
            std::memmove(buffer.data(), buffer.constData() + last + 1, size_t(kept));
        } else {
            kept = filled.size();
        }
        if (kept > ShiftReport::kMaxLineBytes) {
            skipping = true;
            kept = 0;
        }
    }
    std::stable_sort(m_entries.begin(), m_entries.end(), [](const Entry &a, const Entry &b) {
        constexpr qint64 kUndated = std::numeric_limits<qint64>::min();
        return a.record.timeMs.value_or(kUndated) < b.record.timeMs.value_or(kUndated);
    });
    return true;
}

} // namespace vell::report
