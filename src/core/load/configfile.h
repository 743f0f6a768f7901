#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <array>
#include <optional>

namespace vell::load {

/// The lines of the last "Config.txt" read and the numbers they hold. Lines 3..34 give the 32
/// trailer bytes of a black-box program file. Lines a read could not reach keep the values
/// an earlier read gave them (empty at first, which reads as 0).
class ConfigFile
{
public:
    static constexpr int kLineCount = 34;     ///< index 0 is line 2, index k is line k + 2
    static constexpr int kTrailerLength = 32; ///< lines 3..34, indices 1..32
    /// A sane Config.txt is a few hundred bytes; reading stops here so a stray huge file
    /// cannot exhaust memory (lines beyond keep their earlier values).
    static constexpr qint64 kMaxReadBytes = 1 << 20;

    static QString fileName() { return QStringLiteral("Config.txt"); }

    /// Reads folder/Config.txt. A missing or unreadable file changes nothing.
    void read(const QString &folder);
    /// Takes the lines from text: any line end (CR LF, CR, LF) ends a line.
    void readText(const QByteArray &text);

    /// index 0..33 (0 is line 2, 33 is never filled).
    [[nodiscard]] const QString &line(int index) const { return m_lines.at(size_t(index)); }
    /// The byte of trailer position k (1..32: 1 for the byte at L-32), or nothing when the line
    /// does not hold a number from 0 to 255.
    [[nodiscard]] std::optional<quint8> trailerByte(int k) const;

    /// The value of a line as a number, the way the system reads it: blanks, tabs and line
    /// feeds ignored anywhere; a decimal with optional sign, point and E or D exponent, or &H
    /// hex, or &O octal; reading stops at the first character that does not fit; no number is
    /// 0. Infinite when the value is too large for a double.
    [[nodiscard]] static double numberValue(QStringView text);
    /// numberValue rounded half to even; 0..255 is the byte, anything else nothing.
    [[nodiscard]] static std::optional<quint8> byteValue(QStringView text);

private:
    std::array<QString, kLineCount> m_lines{};
};

} // namespace vell::load
