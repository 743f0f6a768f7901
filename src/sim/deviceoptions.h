#pragma once

#include <QString>

#include <optional>

namespace vell::sim {

/// How one simulated programmer behaves, including the faults it fakes on purpose.
/// The command line gives them as a comma-separated switch list ("noready,loaderr=3");
/// see parse() and the --help text of vell-programmer-sim.
struct DeviceOptions
{
    /// What the device says when the port is opened.
    enum class Kind
    {
        Programmer,    ///< the "AUSBR" greeting, then answers frames
        Silent,        ///< says nothing, ever
        OtherText,     ///< some other device: 24 or more bytes that start with no reply token
        ShortGreeting, ///< only the first 23 bytes of the greeting, then answers frames
    };

    Kind kind = Kind::Programmer;
    QString version = QStringLiteral("0106"); ///< four characters, bytes 16..19 of the greeting
    bool neverReady = false;                  ///< never answers a load frame with "ASEND"
    int loadError = 0;                        ///< 1..255: "ALPER" with this code instead of "ALPOK"
    int firstLoadError = 0;                   ///< 1..255: like loadError, for its first load only
    int targetError = 0;                      ///< 1..255: "APTER" with this code instead of "APTOK"
    qint64 unplugAfter = -1;                  ///< vanishes once this many bytes were received
    qint64 stallAfter = -1;                   ///< stops reading once this many bytes were received
    bool splitReplies = false;                ///< each reply byte in a write of its own
    bool doubleReplies = false;               ///< two replies to a write where two are due
    int readRate = 0;        ///< bytes per second taken from the wire, 0 = no limit
    int programSteps = 8;    ///< "APROG" replies per target programming (count byte)
    int verifySteps = 8;     ///< "AVERI" replies per target programming (count byte)
    int stepIntervalMs = 20; ///< pause before each progress or result reply

    /// Reads a comma-separated switch list. An empty list gives the defaults. On a bad
    /// switch returns nothing and, when error is given, a message naming the switch.
    static std::optional<DeviceOptions> parse(const QString &switches, QString *error = nullptr);
    /// The switch list that parse() turns back into these options (empty for the defaults).
    [[nodiscard]] QString toString() const;

    bool operator==(const DeviceOptions &o) const;
    bool operator!=(const DeviceOptions &o) const { return !(*this == o); }
};

} // namespace vell::sim
