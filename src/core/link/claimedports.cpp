#include "claimedports.h"

#include "logging.h"

#include <algorithm>

namespace vell::link {

ClaimedPorts::ClaimedPorts(int checkMs, QObject *parent) : QObject(parent)
{
    m_check.setInterval(checkMs);
    connect(&m_check, &QTimer::timeout, this, &ClaimedPorts::checkDevices);
}

ClaimedPorts::~ClaimedPorts() = default;

void ClaimedPorts::keep(PortClaim claim)
{
    m_kept.push_back({std::move(claim), nullptr});
    if (!m_check.isActive())
        m_check.start();
}

SerialLink::OpenResult ClaimedPorts::open(SerialLink &link, const QString &name)
{
    auto kept = std::find_if(m_kept.begin(), m_kept.end(),
                             [&name](const Kept &k) { return k.claim.name() == name; });
    if (kept == m_kept.end()) {
        PortClaim claim(name);
        const PortClaim::Outcome outcome = claim.take();
        if (outcome == PortClaim::Outcome::HeldByOther)
            return SerialLink::OpenResult::Failed;
        if (outcome == PortClaim::Outcome::Held) {
            keep(std::move(claim));
            kept = m_kept.end() - 1;
        }
    } else if (!kept->claim.deviceStands() &&
               kept->claim.takeDevice() == PortClaim::Outcome::HeldByOther) {
        qCDebug(lcLink) << name << "leads to a device claimed by process"
                        << kept->claim.holderPid();
        return SerialLink::OpenResult::Failed;
    }
    if (kept != m_kept.end()) {
        kept->link = &link;
        connect(&link, &SerialLink::deviceLost, this, &ClaimedPorts::checkDevices,
                Qt::UniqueConnection);
    }
    return link.open(name);
}

void ClaimedPorts::releaseAll()
{
    m_check.stop();
    m_kept.clear();
}

void ClaimedPorts::checkDevices()
{
    for (Kept &kept : m_kept) {
        PortClaim &claim = kept.claim;
        if (!claim.holdsDevice() || claim.deviceStands())
            continue;
        // The device an open link holds stays claimed while it is there, wherever the name
        // leads now.
        if (!claim.deviceGone() && kept.link && kept.link->isOpen())
            continue;
        qCDebug(lcLink) << "the device claimed behind" << claim.name() << "went";
        claim.releaseDevice();
    }
}

} // namespace vell::link
