#pragma once

#include <QByteArray>

#include <optional>

namespace vell::link {

/// Cuts the bytes of a link into whole 24-byte replies, in order; the bytes of a partial reply
/// wait for the rest. No I/O.
class ReplyFramer
{
public:
    void append(const QByteArray &bytes);
    /// The next whole reply, or nothing while fewer bytes than a reply wait.
    [[nodiscard]] std::optional<QByteArray> next();
    /// Drops everything waiting.
    void clear();
    /// Bytes waiting for the rest of their reply.
    [[nodiscard]] int pendingBytes() const { return static_cast<int>(m_buffer.size() - m_pos); }

private:
    /// Received bytes; those before m_pos are already taken, and dropped on the next append,
    /// so a large read costs one pass, not one copy per reply.
    QByteArray m_buffer;
    qsizetype m_pos = 0;
};

} // namespace vell::link
