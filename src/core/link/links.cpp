#include "links.h"

#include "logging.h"

namespace vell::link {

Links::Links(const LinkFactory &factory, QObject *parent) : QObject(parent)
{
    for (const ProgrammerNumber n : ProgrammerSet::all()) {
        auto link = factory();
        Q_ASSERT(link);
        connect(link.get(), &SerialLink::deviceLost, this, [this, n] { Q_EMIT deviceLost(n); });
        m_links[n] = std::move(link);
    }
}

Links::~Links() = default;

SerialLink::OpenResult Links::open(ProgrammerNumber n, const PortNames &names, int comPort)
{
    PortFile &portFile = m_portFiles[n];
    portFile.close();
    // The serial object starts out on the programmer's port, so the port file is named by it
    // even before the first opening.
    if (!portFile.open(comPort))
        qCDebug(lcLink) << "programmer" << n.value() << "runs without a port file";

    SerialLink &link = *m_links[n];
    if (link.isOpen())
        return SerialLink::OpenResult::AlreadyOpen;
    // The device now behind the name is claimed before it is opened (after a replug, another
    // device may stand there).
    const QString device = names.deviceFor(comPort);
    const SerialLink::OpenResult result =
        device.isEmpty() ? SerialLink::OpenResult::InvalidPort : names.claims().open(link, device);
    qCDebug(lcLink) << "programmer" << n.value() << "COM" << comPort << device
                    << "open:" << int(result);
    if (result == SerialLink::OpenResult::Opened)
        m_everOpened.insert(n);
    return result;
}

ProgrammerSet Links::sendFrame(char letter, const CommandFrame::Params &params,
                               ProgrammerSet targets)
{
    m_lastFrame = CommandFrame::encode(letter, params, m_sizeFields);
    qCDebug(lcWire).noquote() << "frame" << m_lastFrame.toHex(' ');

    // A link that refuses a byte gets none of the rest: a frame with a hole in it would be
    // taken apart wrongly by the programmer.
    for (int i = 0; i < CommandFrame::kSize; ++i) {
        const QByteArray byte = m_lastFrame.mid(i, 1);
        for (const ProgrammerNumber n : targets) {
            SerialLink &link = *m_links[n];
            if (!link.isOpen() || !link.write(byte)) {
                qCDebug(lcLink) << "programmer" << n.value() << "skipped from byte" << i;
                targets.remove(n);
            }
        }
    }
    return targets;
}

void Links::closePortFiles()
{
    for (PortFile &file : m_portFiles)
        file.close();
}

} // namespace vell::link
