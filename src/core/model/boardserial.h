#pragma once

#include "link/programmerset.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QString>

namespace vell::model {

/// Why a text is not a board serial.
enum class BoardProblem
{
    None,
    Empty,
    TabInsteadOfEnter, ///< a scanner set to end its code with Tab
    NotPrintable,      ///< a control character or another one that does not print
    TooLong,
    NoMatch, ///< not of the form --board-pattern asks for
};

/// What the bench asks of board serials: a field per pane (--scan-boards), a serial for every
/// board (--require-board) and the form of every serial (--board-pattern). Its check is the one
/// rule for a serial, scanned into a pane or given with --board.
class BoardRules
{
public:
    /// A serial is at most this many characters of printable text.
    static constexpr int kMaxLength = 64;

    bool scan = false;
    bool required = false;

    /// --board-pattern: every serial must match pattern whole. False, with *error, when it is
    /// not a regular expression.
    bool setPattern(const QString &pattern, QString *error);
    [[nodiscard]] QString pattern() const { return m_patternText; }
    /// Whether the windows show a Board field per pane.
    [[nodiscard]] bool fieldsShown() const { return scan || required; }

    [[nodiscard]] BoardProblem check(const QString &text) const;
    /// Why text is not a serial, in words (empty when it is one).
    [[nodiscard]] QString reason(const QString &text) const;

private:
    QString m_patternText;
    QRegularExpression m_pattern;
};

/// What a pane's board field took last: the text entered and, when refused, why. A text taken
/// is the serial of that programmer's next program-target.
struct BoardScan
{
    QString text;
    BoardProblem problem = BoardProblem::None;

    [[nodiscard]] QString serial() const
    {
        return problem == BoardProblem::None ? text : QString();
    }
    bool operator==(const BoardScan &o) const { return text == o.text && problem == o.problem; }
};

/// A board programmed OK in this run: when, and by which programmer.
struct BoardProgrammed
{
    QDateTime when;
    link::ProgrammerNumber by;
};

} // namespace vell::model
