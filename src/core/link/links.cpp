#include "links.h"

#include "logging.h"
#include "programmertraits.h"

#include <utility>

namespace vell::link {

namespace {

size_t index(int n)
{
    return static_cast<size_t>(n - 1);
}

const OperatorMessage &invalidPortMessage(int n, Links::Command command)
{
    const ProgrammerTraits &traits = traitsOf(n);
    return command == Links::Command::ProgramTarget ? traits.invalidPortOnTarget
                                                    : traits.invalidPortOnLoad;
}

} // namespace

Links::Links(Programmers &programmers, const PortNames &names, Operator &op, LinkFactory factory,
             QObject *parent)
    : QObject(parent), m_programmers(programmers), m_names(names), m_operator(op)
{
    for (int n = 1; n <= kProgrammerCount; ++n) {
        auto link = factory();
        Q_ASSERT(link);
        connect(link.get(), &SerialLink::deviceLost, this, [this, n] { Q_EMIT deviceLost(n); });
        m_links[index(n)] = std::move(link);
    }
}

Links::~Links() = default;

void Links::openLinks(const std::array<bool, kProgrammerCount> &targets, Command command,
                      std::function<void()> opened)
{
    m_opening = {targets, command, std::move(opened), 1, false};
    openRemainingLinks();
}

void Links::openRemainingLinks()
{
    m_opening.awaitingOk = false;
    while (m_opening.next <= kProgrammerCount) {
        const int n = m_opening.next++;
        const Status opening = m_opening.command == Command::Load ? Status::Establishing
                                                                  : Status::ProgrammingTargetBoard;
        if (!m_opening.targets[index(n)] || openLink(n, opening))
            continue;
        // Its step cannot go on; the others' do, once the operator has read why.
        m_programmers.endStep(n, Ending::Unopenable);
        const auto [prompt, title] = invalidPortMessage(n, m_opening.command);
        m_opening.awaitingOk = true;
        m_operator.message(prompt, title, [this] { openRemainingLinks(); });
        return;
    }
    if (auto opened = std::exchange(m_opening.opened, nullptr))
        opened();
}

bool Links::openLink(int n, Status opening)
{
    closePortFile(n);
    m_programmers.update(n, [opening](ProgrammerState &s) { s.status = opening; });

    // The serial object starts out on the programmer's port, so the port file is named by it
    // even before the first opening.
    const int comPort = m_programmers.state(n).comPort;
    if (!m_portFiles[index(n)].open(comPort))
        qCDebug(lcLink) << "programmer" << n << "runs without a port file";

    SerialLink &link = *m_links[index(n)];
    if (link.isOpen())
        return true;

    const QString device = m_names.deviceFor(comPort);
    const SerialLink::OpenResult result = device.isEmpty() ? SerialLink::OpenResult::InvalidPort
                                                           : m_names.claims().open(link, device);
    qCDebug(lcLink) << "programmer" << n << "COM" << comPort << device << "open:" << int(result);
    if (result == SerialLink::OpenResult::Opened) {
        // After a replug the same COM number may stand for another device.
        const PortNames::Identity port = m_names.identityOf(comPort);
        m_programmers.update(n, [&port](ProgrammerState &s) { s.port = port; });
    }
    return result != SerialLink::OpenResult::InvalidPort;
}

void Links::sendFrame(char letter, const CommandFrame::Params &params,
                      const std::array<bool, kProgrammerCount> &targets)
{
    m_lastFrame = CommandFrame::encode(letter, params, m_sizeFields);
    qCDebug(lcWire).noquote() << "frame" << m_lastFrame.toHex(' ');

    // A link that refuses a byte gets none of the rest: a frame with a hole in it would be
    // taken apart wrongly by the programmer.
    std::array<bool, kProgrammerCount> writing = targets;
    for (int i = 0; i < CommandFrame::kSize; ++i) {
        const QByteArray byte = m_lastFrame.mid(i, 1);
        for (int n = 1; n <= kProgrammerCount; ++n) {
            if (!writing[index(n)])
                continue;
            SerialLink &link = *m_links[index(n)];
            if (!link.isOpen() || !link.write(byte)) {
                qCDebug(lcLink) << "programmer" << n << "skipped from byte" << i;
                writing[index(n)] = false;
            }
        }
    }
}

SerialLink *Links::link(int n) const
{
    return m_links.at(index(n)).get();
}

void Links::closePortFile(int n)
{
    m_portFiles.at(index(n)).close();
}

void Links::closePortFiles()
{
    for (auto &file : m_portFiles)
        file.close();
}

} // namespace vell::link
