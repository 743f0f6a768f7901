#pragma once

#include "programmerstate.h"

#include <QString>
#include <QStringList>

namespace vell::model {

/// What one programmer's pane shows, rendered from its state: the only place the status
/// texts are made.
struct Pane
{
    QString status;
    int barValue = 0;
    int barMaximum = 100;
    QString countText;
    bool visible = false;

    /// Programmer n's pane.
    [[nodiscard]] static Pane of(ProgrammerNumber n, const ProgrammerState &state);
    /// Programmer n's status text.
    [[nodiscard]] static QString statusText(ProgrammerNumber n, const ProgrammerState &state);
    /// Every status text programmer n's pane can show, with the widest numbers in them (COM
    /// 1..15, 100 percent, every error code) and the widest version a greeting carries: what
    /// the window's status box must make room for.
    [[nodiscard]] static QStringList statusTexts(ProgrammerNumber n);
    /// What a pane says beside its board field: why its last scan was refused, or when and by
    /// whom this run programmed its board OK before; empty when neither.
    [[nodiscard]] static QString boardNote(const ProgrammerState &state, const BoardRules &rules);
    /// The programmer version label: programmer 1's greeting, empty before one.
    [[nodiscard]] static QString programmerVersionText(const ProgrammerState &first);
    /// The board software label: the file programmer 1's last "APTOK" named, empty before one.
    [[nodiscard]] static QString softwareVersionText(const ProgrammerState &first);
    /// "transfer", "program" or "verify" while the status shows a percentage, else null.
    [[nodiscard]] static const char *progressPhase(Status status);
};

} // namespace vell::model
