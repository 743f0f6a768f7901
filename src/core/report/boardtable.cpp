#include "boardtable.h"

#include <QHash>

#include <algorithm>
#include <cstring>

namespace vell::report {

const char16_t *BoardTable::store(QStringView serial)
{
    const qsizetype length = serial.size();
    if (length > kBlockChars - m_blockUsed) {
        // A serial longer than a block has one of its own.
        m_blocks.push_back(std::make_unique<char16_t[]>(size_t(std::max(length, kBlockChars))));
        m_blockUsed = 0;
    }
    char16_t *at = m_blocks.back().get() + m_blockUsed;
    std::memcpy(at, serial.utf16(), size_t(length) * sizeof(char16_t));
    m_blockUsed += length;
    return at;
}

void BoardTable::grow()
{
    m_slots.assign(std::max<size_t>(64, m_slots.size() * 2), kFree);
    const size_t mask = m_slots.size() - 1;
    for (quint32 i = 0; i < quint32(m_entries.size()); ++i) {
        size_t slot = m_entries[i].hash & mask;
        while (m_slots[slot] != kFree)
            slot = (slot + 1) & mask;
        m_slots[slot] = i;
    }
}

bool BoardTable::add(QStringView serial, quint32 programmer, bool ok)
{
    if ((m_entries.size() + 1) * 2 > m_slots.size())
        grow();
    const quint32 hash = quint32(qHash(serial));
    const size_t mask = m_slots.size() - 1;
    size_t slot = hash & mask;
    for (; m_slots[slot] != kFree; slot = (slot + 1) & mask) {
        Entry &e = m_entries[m_slots[slot]];
        if (e.hash != hash || textOf(e) != serial)
            continue;
        e.ok += ok ? 1 : 0;
        if (e.programmer == programmer)
            return false;
        return m_further.insert(quint64(m_slots[slot]) << 32 | programmer).second;
    }
    m_slots[slot] = quint32(m_entries.size());
    m_entries.push_back({store(serial), quint32(serial.size()), hash, ok ? 1u : 0u, programmer});
    return true;
}

QStringList BoardTable::programmedTwice() const
{
    QStringList twice;
    for (const Entry &e : m_entries) {
        if (e.ok > 1)
            twice << textOf(e).toString();
    }
    twice.sort();
    return twice;
}

} // namespace vell::report
