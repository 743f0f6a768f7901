#pragma once

#include "link/programmerset.h"

#include <QString>

namespace vell::model {

/// An operator message: the prompt and the box's title.
struct OperatorMessage
{
    QString prompt;
    QString title;
};

/// What sets programmer n apart from the other three: the one place these rules live.
struct ProgrammerTraits
{
    /// Takes part in every command, found or not.
    bool alwaysInUse;
    /// Its device gone at the drain before the load frame ends the load (after the operator's OK).
    bool lossAtDrainEndsLoad;
    /// The found text carries the programmer's number ("Programmer #2 Found on Com Port 5").
    bool numbersFoundText;
    /// An "AUSBR" while the previous one is still recorded counts as an unrecognised reply.
    bool repeatedUsbrIsUnknown;
    /// Error code 12 has its own text; otherwise it is an undefined error.
    bool knowsCode12;
    /// "APTOK" fills the bar.
    bool fillsBarOnPtOk;
    /// "APTOK" names the program file last loaded as the board's software version.
    bool namesBoardSoftware;
    /// The greeting shows "Programmer Waiting" and puts the version on the programmer version
    /// label; otherwise the status box shows the version after "Programmer Waiting / ...".
    bool greetsOnVersionLabel;
    /// Being present shows the program-target button.
    bool showsProgramTarget;
    /// The invalid-port message of a load and of program target.
    OperatorMessage invalidPortOnLoad;
    OperatorMessage invalidPortOnTarget;
};

[[nodiscard]] const ProgrammerTraits &traitsOf(link::ProgrammerNumber n);

} // namespace vell::model
