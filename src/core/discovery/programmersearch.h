#pragma once

#include "link/portaccess.h"
#include "link/portclaim.h"
#include "link/portfile.h"
#include "link/portnames.h"
#include "link/reply.h"
#include "link/seriallink.h"
#include "model/programmers.h"
#include "model/timings.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <memory>

namespace vell::discovery {

/// The start-up search: probes COM1..COM15 one after another on a link of its own, listening
/// for the message a programmer sends by itself once its port is opened, and records up to four
/// programmers in their states, numbered in the order found. Sends nothing. Each port gets one
/// tick to deliver at least 24 bytes that begin with a reply token.
///
/// Each tick either opens the next port or judges the port opened one tick before; reaching
/// port 16 ends the scan. A port with no device costs one tick.
///
/// Each port is claimed (link::PortClaim) before it is opened, so of two copies of the tool
/// only one ever probes it; the claim of a programmer found is handed to the claims of the
/// port names (link::ClaimedPorts), which keep it until the tool ends. A port that exists but
/// cannot be used (claimed by another copy, refused, in use) is judged empty and reported
/// with why.
class ProgrammerSearch : public QObject
{
    Q_OBJECT
public:
    /// The current port number stops here, one past the last COM number; this port itself is
    /// never probed.
    static constexpr int kPortLimit = link::PortNames::kMaxPort + 1;
    /// A scan ends within this many ticks: two per port probed.
    static constexpr int kMostTicks = 2 * (kPortLimit - 1);
    /// Fewest bytes the receive handler takes as a programmer's message: one reply.
    static constexpr int kMessageLength = link::Reply::kSize;

    enum class State
    {
        Idle,    ///< not started
        Opening, ///< the next tick opens the next port (or ends the scan at port 16)
        Judging, ///< the next tick judges what the open port sent
        Ended,   ///< the scan is over (finished, fourth programmer recorded, or stopped)
    };

    /// The programmers and port names must outlive the search. The factory makes the scanning link.
    ProgrammerSearch(model::Programmers &programmers, const link::PortNames &names,
                     link::LinkFactory factory, int tickMs = model::Timings{}.searchTickMs,
                     QObject *parent = nullptr);
    ~ProgrammerSearch() override;

    /// Opens port 1 and starts the timer (the search window's load). Only once.
    void start();
    /// One timer period: the step, then the recording of a programmer the step just found.
    /// Public so tests can step the machine without a timer.
    void tick();
    /// Ends the scan where it stands (the window closes) and releases the scanning port;
    /// signals finished when it was still scanning.
    void stop();

    /// True when a captured message marks a programmer: it begins, case-sensitively, with one
    /// of the seven reply tokens. Pure, for the tests and the fuzzer.
    [[nodiscard]] static bool isProgrammerReply(QByteArrayView captured);

    [[nodiscard]] State state() const { return m_state; }
    [[nodiscard]] bool isRunning() const
    {
        return m_state == State::Opening || m_state == State::Judging;
    }
    /// The port being probed, 1..16.
    [[nodiscard]] int currentPort() const { return m_port; }
    [[nodiscard]] int programmersFound() const { return m_found; }

    // What the search window shows.
    /// txtPortSearched: the current port number.
    [[nodiscard]] QString portSearched() const { return QString::number(m_port); }
    /// lblProgrammer1..4: empty until programmer n is recorded.
    [[nodiscard]] QString programmerLabel(model::ProgrammerNumber n) const
    {
        return m_programmerLabels[n];
    }
    /// lblPortSearched: "Searching Port", or the failure text after a scan that found none.
    [[nodiscard]] QString portSearchedLabel() const { return m_portSearchedLabel; }

    /// A port that exists but could not be used, and why.
    struct UnusablePort
    {
        int comPort = 0;
        QString device;
        link::PortAccess::Verdict verdict;
    };
    /// Every such port of this scan, in the order met.
    [[nodiscard]] const QList<UnusablePort> &unusablePorts() const { return m_unusable; }

Q_SIGNALS:
    /// Something the window shows changed.
    void changed();
    /// The scan is over; anyFound tells whether at least one programmer was recorded.
    void finished(bool anyFound);
    /// The search is done with its window (programmers found, or the fourth one recorded).
    void closeRequested();
    /// A port exists but cannot be used (also in unusablePorts()).
    void portUnusable(const vell::discovery::ProgrammerSearch::UnusablePort &port);

private:
    link::SerialLink::OpenResult openScanningPort();
    void evaluate();
    void openNext();
    void recordProgrammer(model::ProgrammerNumber n);
    void finish();
    void onReadyRead();

    void advancePort();
    void flush();
    /// Stops the timer and closes the scanning port and the port file, so the main window's
    /// links can open the same ports (a port is locked per name while open).
    void end();
    void setState(State state);
    void noteUnusable(const link::PortAccess::Verdict &verdict);

    model::Programmers &m_programmers;
    link::PortNames m_names; // a copy: callers often build the names on the fly
    link::LinkFactory m_factory;
    std::unique_ptr<link::SerialLink> m_link;
    link::PortFile m_portFile;
    QTimer m_timer;

    State m_state = State::Idle;
    int m_port = 1;
    /// The port number the scanning link was last set to; names the port file opened before
    /// the next probe. Port 1 before the first.
    int m_linkPort = 1;
    int m_found = 0;
    /// What the receive handler took from the scanning port.
    QByteArray m_captured;
    /// The receive gate: false ("Disable") keeps a judged port's data out of the capture.
    bool m_receiveEnabled = true;

    /// The port being probed, claimed before it was opened.
    link::PortClaim m_probeClaim;
    QList<UnusablePort> m_unusable;

    model::PerProgrammer<QString> m_programmerLabels;
    QString m_portSearchedLabel;
};

} // namespace vell::discovery
