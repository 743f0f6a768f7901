#pragma once

#include "attempt.h"

#include "link/pane.h"
#include "link/portnames.h"
#include "link/programmerslot.h"
#include "load/filetransfer.h"

#include <QObject>

#include <array>
#include <optional>

namespace vell::app {

/// One programmer's boards since the application started (program-target results).
struct Tally
{
    int ok = 0;
    int failed = 0;
    /// Percent of the boards that programmed OK, rounded; nothing before the first board.
    [[nodiscard]] std::optional<int> yieldPercent() const;
};

/// Follows every programmer's step from its start to its end and reports each one as an
/// Attempt: a load starts with the transfer, a program-target with its frame; a step ends with
/// the programmer's result reply, a drop-out, the watchdog, or endPending (a timeout, the
/// application's end, the next command). Keeps the image of the last load and the tallies.
class AttemptTracker : public QObject
{
    Q_OBJECT
public:
    AttemptTracker(const link::ProgrammerSlots &programmerSlots, const link::PaneBoard &panes,
                   const link::PortNames &names, QObject *parent = nullptr);

    /// A load began (its links are about to open): one attempt per programmer in use.
    void beginLoad(const QString &path, bool restoreDefaults, bool blackBox);
    /// The program-target frame went out: one attempt per programmer in use.
    void beginProgramTarget();
    /// How the load ended; programmers still waiting for their verdict after a good stream
    /// stay pending.
    void onLoadFinished(load::FileTransfer::Outcome outcome);
    /// Programmer n's reply handler acted on a reply.
    void onReply(int n, const QByteArray &token);
    /// Programmer n's link dropped out (device lost, writes refused, stalled).
    void onLost(int n);
    /// Ends every attempt still waiting with result.
    void endPending(Attempt::Result result);

    [[nodiscard]] bool isPending(int n) const { return m_pending[index(n)].has_value(); }
    /// The program file of the last load of this run, as it was at its start.
    [[nodiscard]] const std::optional<ImageIdentity> &image() const { return m_image; }
    [[nodiscard]] const Tally &tally(int n) const { return m_tallies[index(n)]; }

Q_SIGNALS:
    void attemptEnded(const vell::app::Attempt &attempt);
    /// A load started with another image (or the same file, read afresh).
    void imageChanged();
    void tallyChanged(int n);

private:
    static size_t index(int n) { return static_cast<size_t>(n - 1); }
    void begin(Attempt::Step step);
    void end(int n, Attempt::Result result, std::optional<int> code = std::nullopt);

    const link::ProgrammerSlots &m_slots;
    const link::PaneBoard &m_panes;
    const link::PortNames &m_names;
    std::array<std::optional<Attempt>, link::kProgrammerCount> m_pending;
    std::array<Tally, link::kProgrammerCount> m_tallies{};
    std::array<QString, link::kProgrammerCount> m_versions;
    std::optional<ImageIdentity> m_image;
    bool m_restoreDefaults = false;
    bool m_blackBox = false;
};

} // namespace vell::app
