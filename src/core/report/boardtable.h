#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

#include <deque>
#include <memory>
#include <unordered_set>
#include <vector>

namespace vell::report {

/// The boards of the program-target records a report counts: which serials each programmer
/// had, and how often each serial was programmed OK. Exact, and compact: one entry per
/// distinct serial (about 32 bytes and its text), since a year's log holds millions of boards.
class BoardTable
{
public:
    /// A program-target record of the programmer numbered programmer (the report's own
    /// numbering) for the board serial, OK or not. True when the serial is new to that
    /// programmer.
    bool add(QStringView serial, quint32 programmer, bool ok);
    /// Distinct serials.
    [[nodiscard]] qint64 size() const { return qint64(m_entries.size()); }
    /// The serials programmed OK more than once, sorted.
    [[nodiscard]] QStringList programmedTwice() const;

private:
    struct Entry
    {
        const char16_t *text;
        quint32 length;
        quint32 hash;
        quint32 ok;
        quint32 programmer; ///< the first programmer it was met on
    };
    static constexpr quint32 kFree = 0xffffffffu;
    static constexpr qsizetype kBlockChars = 1 << 15;

    [[nodiscard]] QStringView textOf(const Entry &e) const { return {e.text, qsizetype(e.length)}; }
    const char16_t *store(QStringView serial);
    void grow();

    std::deque<Entry> m_entries;
    /// Open addressing over m_entries, at most half full.
    std::vector<quint32> m_slots;
    std::vector<std::unique_ptr<char16_t[]>> m_blocks;
    qsizetype m_blockUsed = kBlockChars;
    /// A serial met on a further programmer: its entry and that programmer.
    std::unordered_set<quint64> m_further;
};

} // namespace vell::report
