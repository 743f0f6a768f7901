#pragma once

#include "model/programmerstate.h"
#include "record/tally.h"

#include <QJsonObject>
#include <QString>

#include <optional>

namespace vell::app {

/// What a headless run, or one step of the station service, did: each step it was asked for,
/// with every programmer's last attempt at it, and what it ends with. The summary line and the
/// JSON summary are both rendered from this one value.
struct RunResult
{
    /// One step of the run (the load, the program-target) over all its tries.
    struct StepRun
    {
        bool asked = false;
        /// The load's file was refused: it never began.
        bool refused = false;
        /// Not run, because a load failed.
        bool notRun = false;
        /// Each programmer's last attempt at it.
        model::PerProgrammer<std::optional<model::StepRecord>> last;
    };

    model::ProgrammerSet inUse;
    model::PerProgrammer<int> comPorts;
    StepRun load;
    StepRun target;
    model::PerProgrammer<record::Tally> tallies;
    /// The image line of the run, empty before one.
    QString imageText;
    std::optional<model::ImageIdentity> image;
    int lostRecords = 0;
    QString logProblem;
    /// Records not in the line database when the run ended (nothing without one), and why.
    std::optional<qint64> unsent;
    QString unsentWhy;
    int timeoutSeconds = 0;
    QString runId;

    [[nodiscard]] const StepRun &run(model::Step step) const
    {
        return step == model::Step::Load ? load : target;
    }
    [[nodiscard]] StepRun &run(model::Step step)
    {
        return step == model::Step::Load ? load : target;
    }
    /// Programmer n's last attempt at step ended OK.
    [[nodiscard]] bool succeeded(model::Step step, model::ProgrammerNumber n) const;
    /// Some programmer in use did not succeed at step.
    [[nodiscard]] bool failed(model::Step step) const;
    /// Why programmer n's step did not succeed, in the summary's words.
    [[nodiscard]] QString failure(model::Step step, model::ProgrammerNumber n) const;

    /// "Summary: load succeeded on 2 of 2; file ...; boards: ...".
    [[nodiscard]] QString summaryLine() const;
    /// The summary event of --json; exitCode is the process's.
    [[nodiscard]] QJsonObject summaryJson(int exitCode) const;
};

} // namespace vell::app
