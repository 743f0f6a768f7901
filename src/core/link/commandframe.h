#pragma once

#include <QByteArray>

#include <array>

namespace vell::link {

/// The 24-byte command frame, PC to programmer: "A", "P", a command letter, 15 parameter
/// bytes, the 24-bit file length, a 16-bit checksum and a carriage return.
class CommandFrame
{
public:
    static constexpr int kSize = 24;
    static constexpr int kParamCount = 15;
    // Byte offsets: "A" at 0 and "P" at 1, then these; the carriage return is the last byte.
    static constexpr int kLetterByte = 2;
    static constexpr int kParamByte = 3;
    static constexpr int kSizeHighByte = 18;
    static constexpr int kSizeMidByte = 19;
    static constexpr int kSizeLowByte = 20;
    static constexpr int kChecksumHighByte = 21;
    static constexpr int kChecksumLowByte = 22;
    static constexpr int kCarriageReturnByte = 23;
    /// The file length is a 24-bit field: lengths from here up do not fit.
    static constexpr qint64 kLengthLimit = qint64(1) << (8 * (kSizeLowByte - kSizeHighByte + 1));

    static constexpr char kLoad = 'L';
    static constexpr char kProgramTarget = 'T';

    using Params = std::array<quint8, kParamCount>;

    /// The length of the last loaded program file as the frame carries it.
    struct SizeFields
    {
        quint8 high = 0;
        quint8 mid = 0;
        quint8 low = 0;

        /// Lengths up to 16,777,215 fit; larger ones keep only their low 24 bits.
        static SizeFields fromLength(quint32 length);
        [[nodiscard]] quint32 length() const
        {
            return (quint32(high) << 16) | (quint32(mid) << 8) | low;
        }
        bool operator==(const SizeFields &o) const
        {
            return high == o.high && mid == o.mid && low == o.low;
        }
    };

    /// The checksum: bytes 0..20 plus 13 for the carriage return, kept to 16 bits.
    [[nodiscard]] static quint16 checksum(char letter, const Params &params, SizeFields size);
    [[nodiscard]] static QByteArray encode(char letter, const Params &params, SizeFields size);
    /// The load frame: byte 3 is 0x01 when the programmer should restore its defaults.
    [[nodiscard]] static QByteArray load(bool restoreDefaults, SizeFields size);
    [[nodiscard]] static QByteArray programTarget(SizeFields size);
};

} // namespace vell::link
