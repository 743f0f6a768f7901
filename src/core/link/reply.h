#pragma once

#include <QByteArray>
#include <QString>

#include <array>

namespace vell::link {

/// One 24-byte reply from a programmer: the token (bytes 0..4), the count byte of a progress
/// reply (12), the software version (16..19) and the error code (20). Other bytes are unused.
class Reply
{
public:
    static constexpr int kSize = 24;

    /// In the order the handler tests them; Unknown when bytes 0..4 match none.
    enum class Kind
    {
        Usbr,
        Send,
        LpOk,
        LpEr,
        PtOk,
        PtEr,
        Data,
        Veri,
        Prog,
        Unknown,
    };

    /// A reply token, its kind, and whether the search takes a message that begins with it as
    /// a programmer's (progress replies come only during target programming).
    struct Token
    {
        const char *letters;
        Kind kind;
        bool marksProgrammer;
    };
    static constexpr int kTokenLength = 5;
    /// Every reply token, in the order the handler tests them.
    static constexpr std::array<Token, 9> kTokens{{
        {"AUSBR", Kind::Usbr, true},
        {"ASEND", Kind::Send, true},
        {"ALPOK", Kind::LpOk, true},
        {"ALPER", Kind::LpEr, true},
        {"APTOK", Kind::PtOk, true},
        {"APTER", Kind::PtEr, true},
        {"ADATA", Kind::Data, true},
        {"AVERI", Kind::Veri, false},
        {"APROG", Kind::Prog, false},
    }};

    /// bytes must hold at least kSize bytes; only the first kSize are read.
    [[nodiscard]] static Reply parse(const QByteArray &bytes);

    /// A reply as a programmer sends it (unused bytes zero); version is cut or padded to 4.
    [[nodiscard]] static QByteArray encode(const QByteArray &token, quint8 count = 0,
                                           const QByteArray &version = {}, quint8 errorCode = 0);

    [[nodiscard]] Kind kind() const { return m_kind; }
    /// Bytes 0..4 as received.
    [[nodiscard]] QByteArray token() const { return m_token; }
    [[nodiscard]] int count() const { return m_count; }
    /// Four characters, one per byte.
    [[nodiscard]] QString version() const { return m_version; }
    [[nodiscard]] int errorCode() const { return m_errorCode; }

private:
    Kind m_kind = Kind::Unknown;
    QByteArray m_token;
    int m_count = 0;
    QString m_version;
    int m_errorCode = 0;
};

} // namespace vell::link
