#pragma once

#include "link/portnames.h"
#include "model/programmerstate.h"
#include "record/attemptrecord.h"

#include <QString>

#include <optional>

namespace vell::app {

/// One programmer's ended step (a load or a program-target) with who the programmer is: one
/// line of the attempt log and the result event of --json.
struct Attempt
{
    model::ProgrammerNumber programmer;
    int comPort = 0;
    link::PortNames::Identity port;
    model::StepRecord step; ///< ended: its ending is set
    std::optional<QString> programmerVersion;
    QString recordId;     ///< this run's id and the record's number in it
    QString operatorName; ///< who ran the bench, empty when nobody said

    [[nodiscard]] record::Result result() const { return step.result(); }
    /// The record this run writes for it.
    [[nodiscard]] record::AttemptRecord record() const;
};

/// A device's fields as the record names them.
[[nodiscard]] QJsonObject identityJson(const link::PortNames::Identity &identity);
/// This start of the tool's id, the same in every record it writes.
[[nodiscard]] QString runId();

} // namespace vell::app
