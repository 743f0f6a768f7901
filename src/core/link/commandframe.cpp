#include "commandframe.h"

namespace vell::link {

CommandFrame::SizeFields CommandFrame::SizeFields::fromLength(quint32 length)
{
    SizeFields s;
    s.high = quint8((length >> 16) & 0xFF);
    s.mid = quint8((length >> 8) & 0xFF);
    s.low = quint8(length & 0xFF);
    return s;
}

quint16 CommandFrame::checksum(char letter, const Params &params, SizeFields size)
{
    // The checksum bytes themselves stay out; the carriage return counts as 13.
    quint32 sum = quint32('A') + quint32('P') + quint8(letter);
    for (quint8 b : params)
        sum += b;
    sum += size.high + size.mid + size.low + 13u;
    return quint16(sum & 0xFFFF);
}

QByteArray CommandFrame::encode(char letter, const Params &params, SizeFields size)
{
    const quint16 sum = checksum(letter, params, size);
    QByteArray f(kSize, '\0');
    f[0] = 'A';
    f[1] = 'P';
    f[kLetterByte] = letter;
    for (int i = 0; i < kParamCount; ++i)
        f[kParamByte + i] = char(params[size_t(i)]);
    f[kSizeHighByte] = char(size.high);
    f[kSizeMidByte] = char(size.mid);
    f[kSizeLowByte] = char(size.low);
    f[kChecksumHighByte] = char(sum >> 8);
    f[kChecksumLowByte] = char(sum & 0xFF);
    f[kCarriageReturnByte] = '\r';
    return f;
}

QByteArray CommandFrame::load(bool restoreDefaults, SizeFields size)
{
    Params p{};
    p[0] = restoreDefaults ? 0x01 : 0x00;
    return encode(kLoad, p, size);
}

QByteArray CommandFrame::programTarget(SizeFields size)
{
    return encode(kProgramTarget, Params{}, size);
}

} // namespace vell::link
