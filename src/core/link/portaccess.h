#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

namespace vell::link {

/// Why a serial port that exists can or cannot be used: the operator is told the cause and
/// what to do, never only "no programmer". Looks at the claims of other copies of the tool
/// and at LCK..name lock files first, and opens the device for a moment only when no lock
/// says who holds it.
class PortAccess
{
public:
    enum class Cause
    {
        Ok,
        Denied, ///< this user may not open it
        InUse,  ///< another program, or another copy of the tool, holds it
        Other,  ///< any other failure, quoted
    };

    struct Verdict
    {
        Cause cause = Cause::Ok;
        qint64 pid = 0;       ///< the holder (InUse), 0 when unknown
        bool ourTool = false; ///< the holder is another copy of this tool
        QString detail;       ///< the system's own words (Other)

        /// "ok", "denied", "in use", "other": the --list-ports column and the JSON cause.
        [[nodiscard]] QString causeName() const;
        /// The sentence the operator reads: the cause and what to do.
        [[nodiscard]] QString text() const;
        /// cause, pid (null when unknown) and text.
        [[nodiscard]] QJsonObject toJson() const;
    };

    /// Why device could not be opened; failure is what the serial layer said. Never Ok: when
    /// nothing else explains it, the failure is quoted.
    [[nodiscard]] static Verdict diagnose(const QString &device, const QString &failure);
    /// Whether device can be used now (--list-ports).
    [[nodiscard]] static Verdict check(const QString &device);
    /// What to do about the ports of verdicts this user may not open, said once: the way out,
    /// or empty when none was denied.
    [[nodiscard]] static QString wayOut(const QList<Verdict> &verdicts);
    /// The claim on device is held by process pid (0: unknown), another copy of the tool.
    [[nodiscard]] static Verdict claimedByOther(qint64 pid);
};

} // namespace vell::link
