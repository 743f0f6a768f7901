#pragma once

#include "programmerstate.h"

#include <QHash>
#include <QObject>

namespace vell::model {

/// The four programmers' states, held for the life of the process. Each change tells the views
/// what changed, per aspect, and only when it changed.
class Programmers : public QObject
{
    Q_OBJECT
public:
    explicit Programmers(QObject *parent = nullptr);

    [[nodiscard]] const ProgrammerState &state(ProgrammerNumber n) const { return m_states[n]; }

    /// Applies change to what programmer n's pane shows (its status, bar, count, versions and
    /// reply flags), then signals each aspect that changed.
    template <typename Change> void update(ProgrammerNumber n, Change &&change)
    {
        const Shown before = shown(n);
        change(m_states[n]);
        notify(n, before);
    }
    /// Sets programmer n's status; percent and code only for the statuses that show them.
    void setStatus(ProgrammerNumber n, Status status, int percent = 0, int code = 0);

    /// The search found programmer n on comPort.
    void setFound(ProgrammerNumber n, int comPort, const link::PortNames::Identity &port);
    /// Its link opened the device port (after a replug the same COM number may be another).
    void setPort(ProgrammerNumber n, const link::PortNames::Identity &port);
    /// Every programmer as before the search (it is searched for again).
    void forget();
    /// After the search: its pane shows, with the found text.
    void show(ProgrammerNumber n);
    /// Programmer n's step ended: it becomes its last step of its kind.
    void setLastStep(ProgrammerNumber n, const StepRecord &ended);
    /// Why program-target leaves programmer n out, as its pane says it: its last load of this
    /// run failed (a programmer without a load in this run takes part); with an approved image,
    /// it holds no image of this run or another one; with a serial required, boards gives it
    /// none; its serial is another programmer's in boards too. boards holds the serials at the
    /// bench, per programmer. Nothing when it takes part.
    [[nodiscard]] std::optional<Status> leftOut(ProgrammerNumber n,
                                                const PerProgrammer<QString> &boards) const;

    /// The board rules of this run; every scan is checked by them.
    [[nodiscard]] const BoardRules &boardRules() const { return m_boardRules; }
    void setBoardRules(const BoardRules &rules) { m_boardRules = rules; }
    /// Programmer n's board field took scan.
    void setBoardScan(ProgrammerNumber n, const BoardScan &scan);
    /// Its program-target begins: whether its board was programmed OK before in this run.
    void setBoardBefore(ProgrammerNumber n, const std::optional<BoardProgrammed> &before);
    /// When and by whom this run last programmed the board serial OK, if it did.
    [[nodiscard]] std::optional<BoardProgrammed> programmedBefore(const QString &serial) const;

    /// Programmer 1 always takes part in a command; 2..4 only when the search found them.
    [[nodiscard]] bool inUse(ProgrammerNumber n) const;
    /// The programmers a command addresses.
    [[nodiscard]] ProgrammerSet inUse() const;
    /// Number of programmers found by the search.
    [[nodiscard]] int presentCount() const;

    /// A command for some programmers starts: their greeting and readiness are forgotten.
    void clearReplyFlags(ProgrammerSet which);

    /// The approved image: every load checks its file against it, every step names it.
    [[nodiscard]] const ImagePin &approvedImage() const { return m_approved; }
    void setApprovedImage(const ImagePin &pin) { m_approved = pin; }

Q_SIGNALS:
    /// What programmer n's status box says changed.
    void statusChanged(vell::model::ProgrammerNumber n);
    /// Its progress bar or count box changed.
    void barChanged(vell::model::ProgrammerNumber n);
    /// Its pane was shown, or its device changed.
    void paneChanged(vell::model::ProgrammerNumber n);
    /// The version labels' inputs changed (programmer 1's greeting and board software).
    void versionsChanged();
    /// Its board field's scan, or what its pane says of its board, changed.
    void boardChanged(vell::model::ProgrammerNumber n);

private:
    /// The inputs of what a pane shows, to tell what an update changed.
    struct Shown
    {
        Status status;
        int percent;
        int code;
        std::optional<QString> statusVersion; ///< the version, where the status text shows it
        int barValue;
        int barMaximum;
        int count;
        std::optional<QString> version;
        std::optional<QString> boardSoftware;
    };
    [[nodiscard]] Shown shown(ProgrammerNumber n) const;
    void notify(ProgrammerNumber n, const Shown &before);

    PerProgrammer<ProgrammerState> m_states;
    ImagePin m_approved;
    BoardRules m_boardRules;
    /// The boards programmed OK in this run, by serial: the last time.
    QHash<QString, BoardProgrammed> m_programmedBoards;
};

} // namespace vell::model
