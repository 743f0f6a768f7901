#include "replyframer.h"

#include "reply.h"

namespace vell::link {

void ReplyFramer::append(const QByteArray &bytes)
{
    m_buffer.remove(0, m_pos);
    m_pos = 0;
    m_buffer.append(bytes);
}

std::optional<QByteArray> ReplyFramer::next()
{
    if (pendingBytes() < Reply::kSize)
        return std::nullopt;
    const QByteArray reply = m_buffer.mid(m_pos, Reply::kSize);
    m_pos += Reply::kSize;
    return reply;
}

void ReplyFramer::clear()
{
    m_buffer.clear();
    m_pos = 0;
}

} // namespace vell::link
