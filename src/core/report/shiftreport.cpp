#include "shiftreport.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <tuple>

namespace vell::report {

namespace {

constexpr qint64 kChunkBytes = 4 << 20;

// What the figures are made of; the reader converts no other field.
using record::AttemptRecord;
constexpr AttemptRecord::Fields kFieldsRead =
    AttemptRecord::FieldTime | AttemptRecord::FieldRun | AttemptRecord::FieldCom |
    AttemptRecord::FieldIdentity | AttemptRecord::FieldStep | AttemptRecord::FieldExpected |
    AttemptRecord::FieldCode | AttemptRecord::FieldBoard;
const QString kOk = record::resultName(record::Result::Ok);

bool blank(QByteArrayView line)
{
    return std::all_of(line.begin(), line.end(),
                       [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
}

} // namespace

std::optional<qint64> ShiftReport::parseBound(const QString &text, bool endOfDay)
{
    const QDate date = QDate::fromString(text, Qt::ISODate);
    if (date.isValid() && text.size() == 10) {
        const QDateTime start = date.startOfDay();
        return endOfDay ? date.addDays(1).startOfDay().toMSecsSinceEpoch() - 1
                        : start.toMSecsSinceEpoch();
    }
    return record::AttemptRecord::parseTime(text);
}

void ShiftReport::malformedLine()
{
    ++m_malformed;
    if (m_malformedLines.size() < kMaxMalformedLinesListed)
        m_malformedLines << m_lineNumber;
}

qsizetype ShiftReport::tallyOf(const QString &host, int com, const QString &location,
                               const QString &usbSerial)
{
    // A bench's few programmers are found without making a key; a line's many by the index.
    if (m_tallies.size() <= kFewProgrammers) {
        for (size_t i = 0; i < m_tallies.size(); ++i) {
            const ProgrammerTally &t = m_tallies[i];
            if (t.com() == com && t.location() == location && t.usbSerial() == usbSerial &&
                t.host() == host)
                return qsizetype(i);
        }
    }
    const QString key = host + QChar(0x1f) + QString::number(com) + QChar(0x1f) + location +
                        QChar(0x1f) + usbSerial;
    auto at = m_index.constFind(key);
    if (at == m_index.cend()) {
        at = m_index.insert(key, qsizetype(m_tallies.size()));
        m_tallies.emplace_back(com, location, usbSerial, host);
    }
    return *at;
}

void ShiftReport::addLine(QByteArrayView line)
{
    ++m_lineNumber;
    if (blank(line))
        return;
    const std::optional<AttemptRecord> record = AttemptRecord::parse(line, kFieldsRead);
    if (!record) {
        malformedLine();
        return;
    }
    if (m_since || m_until) {
        if (!record->timeMs) {
            ++m_undated;
            return;
        }
        if ((m_since && *record->timeMs < *m_since) || (m_until && *record->timeMs > *m_until)) {
            ++m_outside;
            return;
        }
    }
    ++m_records;
    const qsizetype at = tallyOf(QString(), record->com, record->location, record->usbSerial);
    ProgrammerTally &tally = m_tallies[size_t(at)];
    tally.add(*record);
    if (record->step == record::kStepProgramTarget && !record->board.isEmpty() &&
        m_boards.add(record->board, quint32(at), record->result == kOk))
        tally.addDistinctBoard();
}

ProgrammerTally &ShiftReport::programmer(const QString &host, int com, const QString &location,
                                         const QString &usbSerial)
{
    return m_tallies[size_t(tallyOf(host, com, location, usbSerial))];
}

QStringList ShiftReport::boardsProgrammedTwice() const
{
    QStringList twice = m_boards.programmedTwice() + m_programmedTwice;
    twice.sort();
    return twice;
}

void ShiftReport::addBoardsProgrammedTwice(const QStringList &serials)
{
    m_programmedTwice += serials;
}

void ShiftReport::addCounts(qint64 records, qint64 outside, qint64 undated)
{
    m_records += records;
    m_outside += outside;
    m_undated += undated;
}

void ShiftReport::addBytes(QByteArrayView bytes)
{
    while (!bytes.isEmpty()) {
        const qsizetype newline = bytes.indexOf('\n');
        const QByteArrayView piece = newline < 0 ? bytes : bytes.first(newline);
        if (m_skippingLongLine) {
            // The rest of a line already counted as too long.
        } else if (m_partial.size() + piece.size() > kMaxLineBytes) {
            ++m_lineNumber;
            malformedLine();
            m_partial.clear();
            m_skippingLongLine = true;
        } else if (newline < 0) {
            m_partial += piece;
        } else if (m_partial.isEmpty()) {
            addLine(piece);
        } else {
            m_partial += piece;
            addLine(m_partial);
            m_partial.clear();
        }
        if (newline < 0)
            return;
        m_skippingLongLine = false;
        bytes = bytes.sliced(newline + 1);
    }
}

void ShiftReport::finish()
{
    if (!m_partial.isEmpty())
        addLine(m_partial);
    m_partial.clear();
    m_skippingLongLine = false;
}

bool ShiftReport::readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    }
    QByteArray chunk(kChunkBytes, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(chunk.data(), chunk.size());
        if (n < 0) {
            m_error =
                QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
            return false;
        }
        if (n == 0)
            break;
        addBytes(QByteArrayView(chunk.constData(), n));
    }
    finish();
    return true;
}

std::vector<const ProgrammerTally *> ShiftReport::programmers() const
{
    std::vector<const ProgrammerTally *> sorted;
    for (const ProgrammerTally &t : m_tallies)
        sorted.push_back(&t);
    std::sort(sorted.begin(), sorted.end(), [](const ProgrammerTally *a, const ProgrammerTally *b) {
        return std::make_tuple(a->host(), a->com(), a->location(), a->usbSerial()) <
               std::make_tuple(b->host(), b->com(), b->location(), b->usbSerial());
    });
    return sorted;
}

} // namespace vell::report
