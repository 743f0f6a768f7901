#include "reply.h"

namespace vell::link {

namespace {

constexpr int kCountByte = 12;
constexpr int kVersionByte = 16;
constexpr int kVersionLength = 4;
constexpr int kErrorByte = 20;

} // namespace

Reply Reply::parse(const QByteArray &bytes)
{
    Q_ASSERT(bytes.size() >= kSize);
    Reply r;
    r.m_token = bytes.left(kTokenLength);
    for (const Token &token : kTokens) {
        if (r.m_token == token.letters) {
            r.m_kind = token.kind;
            break;
        }
    }
    r.m_count = static_cast<quint8>(bytes.at(kCountByte));
    r.m_version = QString::fromLatin1(bytes.constData() + kVersionByte, kVersionLength);
    r.m_errorCode = static_cast<quint8>(bytes.at(kErrorByte));
    return r;
}

QByteArray Reply::encode(const QByteArray &token, quint8 count, const QByteArray &version,
                         quint8 errorCode)
{
    QByteArray bytes(kSize, '\0');
    bytes.replace(0, kTokenLength, token.left(kTokenLength).leftJustified(kTokenLength, '\0'));
    bytes[kCountByte] = static_cast<char>(count);
    bytes.replace(kVersionByte, kVersionLength,
                  version.left(kVersionLength).leftJustified(kVersionLength, '\0'));
    bytes[kErrorByte] = static_cast<char>(errorCode);
    return bytes;
}

} // namespace vell::link
