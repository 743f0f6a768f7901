#pragma once

#include <QString>

#include <array>

namespace vell::link {

/// What the application knows of one programmer: where the search found it, which replies
/// have arrived since the last command, and the counters of its current program/verify phase.
struct ProgrammerSlot
{
    quint8 comPort = 0;
    bool present = false;

    bool replyUsbr = false;
    bool replySend = false;
    bool replyLpOk = false;
    bool replyLpEr = false;
    bool replyPtOk = false;
    bool replyPtEr = false;
    bool replyData = false;

    /// The bytes last read from the link, one character per byte (Latin-1).
    QString replyText;

    int progressCount = 0;
    int progressTotal = 0;

    /// The seven reply flags false, the rest kept.
    void clearFlags();
    /// A programmer that sent something unrecognised: flags false and replyText empty.
    void resetReplies();
};

inline constexpr int kProgrammerCount = 4;

/// The four slots, index 0 for programmer 1. Held for the life of the process.
class ProgrammerSlots
{
public:
    /// n is 1..4.
    [[nodiscard]] ProgrammerSlot &slot(int n) { return m_slots.at(static_cast<size_t>(n - 1)); }
    [[nodiscard]] const ProgrammerSlot &slot(int n) const
    {
        return m_slots.at(static_cast<size_t>(n - 1));
    }

    /// Clears the seven reply flags of all four slots, absent programmers included.
    void clearReplyFlags();
    /// resetReplies for programmer n.
    void resetReplies(int n) { slot(n).resetReplies(); }

    /// Programmer 1 always takes part in a command; 2..4 only when the search found them.
    [[nodiscard]] bool inUse(int n) const { return n == 1 || slot(n).present; }
    /// The programmers a command addresses, in programmer order.
    [[nodiscard]] std::array<bool, kProgrammerCount> targets() const;
    /// Number of programmers found by the search (present ones).
    [[nodiscard]] int presentCount() const;

private:
    std::array<ProgrammerSlot, kProgrammerCount> m_slots{};
};

} // namespace vell::link
