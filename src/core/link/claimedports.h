#pragma once

#include "portclaim.h"
#include "seriallink.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <vector>

namespace vell::link {

/// This copy's claims on the ports of the programmers it found: each one's place until the
/// copy ends, and the device behind it while that device is there. The search hands over what
/// it found; a link claims the device now behind its place before it opens (after a replug,
/// another device). Shared by copies of one PortNames, as the search and the links are.
///
/// The holder learns that a device went by looking at the node it claimed (PortClaim::
/// deviceGone: one fstat) every checkMs while it holds claims, and at once when a link reports
/// its device lost. A link's loss alone would not do: between the search and the next load the
/// links are closed, and a USB adapter's node is removed only after its read error.
class ClaimedPorts : public QObject
{
    Q_OBJECT
public:
    static constexpr int kCheckMs = 250;

    explicit ClaimedPorts(int checkMs = kCheckMs, QObject *parent = nullptr);
    ~ClaimedPorts() override;

    /// Keeps claim until this object ends (the place) or its device goes.
    void keep(PortClaim claim);
    /// Opens link on name, the device now behind it claimed first: Failed without opening when
    /// another copy holds that device (or the place, when this copy does not).
    [[nodiscard]] SerialLink::OpenResult open(SerialLink &link, const QString &name);
    /// Lets go of every claim, places too (the links are closed: the programmers are searched
    /// for again).
    void releaseAll();
    /// Lets go of each device claimed that went, or that another device took the place of while
    /// no link holds it open; the places stay.
    void checkDevices();

private:
    struct Kept
    {
        PortClaim claim;
        QPointer<SerialLink> link; ///< the link last opened on it
    };

    std::vector<Kept> m_kept;
    QTimer m_check;
};

} // namespace vell::link
