#pragma once

#include "operation.h"

namespace vell::app {

/// Program-target over a set of programmers: each writes the image it holds into its target
/// board. A programmer program-target leaves out (Programmers::leftOut: its load, its image, its
/// board serial) ends its step as skipped; the others' links open and they get one "T"
/// frame with the size fields of the last load. Their progress and verdicts arrive later
/// through the reply handlers.
class ProgramTargetOperation : public Operation
{
    Q_OBJECT
public:
    ProgramTargetOperation(model::ProgrammerSet programmers, model::PerProgrammer<int> tries,
                           const OperationContext &context, Request request = {},
                           QObject *parent = nullptr);

protected:
    void run() override;
};

} // namespace vell::app
