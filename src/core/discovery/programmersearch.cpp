#include "programmersearch.h"

#include "logging.h"
#include "texts.h"

#include "model/texts.h"

#include <QStringList>

#include <algorithm>

#include <utility>

namespace vell::discovery {

ProgrammerSearch::ProgrammerSearch(model::Programmers &programmers, const link::PortNames &names,
                                   link::LinkFactory factory, int tickMs, QObject *parent)
    : QObject(parent), m_programmers(programmers), m_names(names), m_factory(std::move(factory)),
      m_portSearchedLabel(texts::kSearchingPort)
{
    m_timer.setInterval(tickMs);
    connect(&m_timer, &QTimer::timeout, this, &ProgrammerSearch::tick);
}

ProgrammerSearch::~ProgrammerSearch()
{
    m_timer.stop();
    if (m_link)
        m_link->close();
}

bool ProgrammerSearch::isProgrammerReply(QByteArrayView captured)
{
    for (const link::Reply::Token &token : link::Reply::kTokens) {
        if (token.marksProgrammer && captured.startsWith(QByteArrayView(token.letters)))
            return true;
    }
    return false;
}

void ProgrammerSearch::start()
{
    if (m_state != State::Idle)
        return;
    m_link = m_factory();
    connect(m_link.get(), &link::SerialLink::readyRead, this, &ProgrammerSearch::onReadyRead);

    m_portFile.close();
    m_portFile.open(m_linkPort);
    if (!m_link->isOpen() && openScanningPort() == link::SerialLink::OpenResult::InvalidPort) {
        // The first tick opens the next port instead of judging this one.
        advancePort();
        setState(State::Opening);
    } else {
        setState(State::Judging);
    }
    // Counted from the open, as in openNext.
    m_timer.start();
    Q_EMIT changed();
}

void ProgrammerSearch::tick()
{
    switch (m_state) {
    case State::Judging:
        evaluate();
        break;
    case State::Opening:
        if (m_port < kPortLimit)
            openNext();
        else
            finish();
        break;
    case State::Idle:
    case State::Ended:
        return;
    }

    // Recording follows the step in the same tick, so the port it stores is the one just judged.
    if (const auto n = model::ProgrammerNumber::from(m_found);
        n && !m_programmers.state(*n).present)
        recordProgrammer(*n);

    if (isRunning())
        Q_EMIT changed();
}

void ProgrammerSearch::stop()
{
    if (m_state == State::Ended)
        return;
    const bool wasScanning = isRunning();
    end();
    if (wasScanning)
        Q_EMIT finished(m_found > 0);
}

link::SerialLink::OpenResult ProgrammerSearch::openScanningPort()
{
    m_receiveEnabled = true;
    m_linkPort = m_port;
    const QString device = m_names.deviceFor(m_port);
    // Claimed before it is opened: of two copies probing the same port, only one opens it.
    m_probeClaim = link::PortClaim(device);
    if (m_probeClaim.take() == link::PortClaim::Outcome::HeldByOther) {
        noteUnusable(link::PortAccess::claimedByOther(m_probeClaim.holderPid()));
        return link::SerialLink::OpenResult::Failed;
    }
    const auto result = m_link->open(device);
    qCDebug(lcDiscovery) << "COM" << m_port << device << "open:" << static_cast<int>(result);
    if (result == link::SerialLink::OpenResult::InvalidPort ||
        result == link::SerialLink::OpenResult::Failed)
        m_probeClaim.release();
    if (result == link::SerialLink::OpenResult::Failed)
        noteUnusable(link::PortAccess::diagnose(device, m_link->openError()));
    return result;
}

void ProgrammerSearch::evaluate()
{
    m_receiveEnabled = false;
    const bool recognised = isProgrammerReply(m_captured);
    qCDebug(lcDiscovery) << "COM" << m_port << "captured" << m_captured.toHex(' ')
                         << (recognised ? "programmer" : "no programmer");
    flush();
    m_captured.clear();
    m_portFile.close();
    setState(State::Opening);
    if (recognised) {
        m_found += 1; // the port stays open; recordProgrammer moves on
        m_names.claims().keep(std::move(m_probeClaim));
    } else {
        m_probeClaim.release();
        advancePort();
    }
}

void ProgrammerSearch::openNext()
{
    m_portFile.close();
    if (m_link->isOpen())
        m_link->close();
    // A message the last programmer sent after it was recorded must not count for this port.
    m_captured.clear();
    m_portFile.open(m_linkPort);
    if (!m_link->isOpen() && openScanningPort() == link::SerialLink::OpenResult::InvalidPort) {
        // No device: the next tick opens the port after it.
        advancePort();
        return;
    }
    // Any other failure is judged as a port that said nothing.
    setState(State::Judging);
    // The judging tick counts from the open: an open that took long (a process's first took
    // 90 ms on Qt 6.8) would leave the device only what is left of the tick to answer in.
    m_timer.start();
}

void ProgrammerSearch::recordProgrammer(model::ProgrammerNumber n)
{
    m_programmerLabels[n] = model::texts::kProgrammerFoundOnComPort + portSearched();
    const int comPort = m_port;
    const bool last = n.value() == model::kProgrammerCount;
    if (!last)
        advancePort();
    flush();
    m_receiveEnabled = true;
    m_captured.clear();
    m_programmers.setFound(n, comPort, m_names.identityOf(comPort));
    qCDebug(lcDiscovery) << "programmer" << n.value() << "on COM" << comPort;
    if (last) {
        // Four is the most the application handles: no further ports are opened.
        end();
        Q_EMIT changed();
        Q_EMIT finished(true);
        Q_EMIT closeRequested();
    }
}

void ProgrammerSearch::finish()
{
    flush();
    m_captured.clear();
    end();
    const bool anyFound = m_found > 0;
    if (!anyFound && m_unusable.isEmpty())
        m_portSearchedLabel = texts::kNoProgrammersText;
    if (!anyFound && !m_unusable.isEmpty()) {
        // Not "connect the programmers" alone: the ports are there, and each says why not.
        QStringList lines{texts::kNoProgrammersFound};
        QList<link::PortAccess::Verdict> verdicts;
        for (const UnusablePort &port : std::as_const(m_unusable)) {
            lines << texts::unusablePort(port.comPort, port.device, port.verdict.text());
            verdicts << port.verdict;
        }
        // The way out of a permission said once; connecting programmers helps only when some
        // port failed for another cause.
        const QString wayOut = link::PortAccess::wayOut(verdicts);
        const bool onlyDenied = std::all_of(verdicts.cbegin(), verdicts.cend(), [](const auto &v) {
            return v.cause == link::PortAccess::Cause::Denied;
        });
        if (!wayOut.isEmpty())
            lines << wayOut;
        if (!onlyDenied)
            lines << texts::kConnectAndRestart;
        m_portSearchedLabel = lines.join(QLatin1Char('\r'));
    }
    Q_EMIT changed();
    Q_EMIT finished(anyFound);
    if (anyFound)
        Q_EMIT closeRequested();
}

void ProgrammerSearch::onReadyRead()
{
    if (!m_receiveEnabled || !m_link || m_link->bytesAvailable() < kMessageLength)
        return;
    // Each capture replaces the previous one.
    m_captured = m_link->readAll();
    flush();
    m_portFile.close();
}

void ProgrammerSearch::advancePort()
{
    if (m_port < kPortLimit)
        m_port += 1;
}

void ProgrammerSearch::flush()
{
    if (m_link && m_link->isOpen())
        m_link->readAll();
}

void ProgrammerSearch::end()
{
    m_timer.stop();
    m_probeClaim.release(); // a port opened but not judged
    m_portFile.close();
    if (m_link) {
        // Closed, not destroyed: the port is free for the main window's links at once.
        m_link->disconnect(this);
        m_link->close();
    }
    setState(State::Ended);
}

void ProgrammerSearch::noteUnusable(const link::PortAccess::Verdict &verdict)
{
    QString device = m_names.identityOf(m_port).device;
    if (device.isEmpty())
        device = m_names.deviceFor(m_port);
    m_unusable.append({m_port, device, verdict});
    qCDebug(lcDiscovery) << "COM" << m_port << device << "unusable:" << verdict.text();
    Q_EMIT portUnusable(m_unusable.last());
}

void ProgrammerSearch::setState(State state)
{
    if (m_state == state)
        return;
    qCDebug(lcDiscovery) << "state" << static_cast<int>(m_state) << "->" << static_cast<int>(state);
    m_state = state;
}

} // namespace vell::discovery
