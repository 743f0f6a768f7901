#include "pane.h"

#include "texts.h"

#include "link/programmertraits.h"
#include "link/texts.h"
#include "load/texts.h"

#include <QList>
#include <QPair>

namespace vell::app {

namespace {

constexpr int kOldBlackBoxCode = 12;

/// The text for an error code in table, or undefined; code 12 follows the programmer's traits.
QString errorText(int n, int code, const QList<QPair<int, QString>> &table,
                  const QString &undefined)
{
    // Code 12 is in both tables, but not every programmer's handler knows it.
    if (code == kOldBlackBoxCode)
        return link::traitsOf(n).knowsCode12 ? link::texts::kOldBlackBoxError12 : undefined;
    for (const auto &[known, text] : table) {
        if (known == code)
            return text;
    }
    return undefined;
}

QString loadErrorText(int n, int code)
{
    using namespace link::texts;
    static const QList<QPair<int, QString>> table = {
        {1, kLoadError1}, {2, kLoadError2}, {3, kLoadError3}, {4, kLoadError4},
        {5, kLoadError5}, {6, kLoadError6}, {7, kLoadError7}, {8, kLoadError8},
    };
    return errorText(n, code, table, kUndefinedLoadError);
}

QString targetErrorText(int n, int code)
{
    using namespace link::texts;
    static const QList<QPair<int, QString>> table = {
        {9, kTargetError9},
        {10, kTargetError10},
        {11, kTargetError11},
    };
    return errorText(n, code, table, kUndefinedTargetError);
}

QString spacedPercent(const QString &prefix, int percent)
{
    return prefix + QString::number(percent) + link::texts::kSpacedPercentComplete;
}

} // namespace

QString Pane::statusText(int n, const link::ProgrammerState &state)
{
    using link::Status;
    const link::ProgrammerTraits &traits = link::traitsOf(n);
    switch (state.status) {
    case Status::Blank:
        break;
    case Status::Found:
        return traits.numbersFoundText
                   ? texts::numberedProgrammerFound(n, state.comPort)
                   : discovery::texts::kProgrammerFoundOnComPort + QString::number(state.comPort);
    case Status::Establishing:
        return link::texts::kEstablishingCommunication;
    case Status::ProgrammingTargetBoard:
        return link::texts::kProgrammingTargetBoard;
    case Status::Waiting:
        return traits.greetsOnVersionLabel
                   ? link::texts::kProgrammerWaiting
                   : link::texts::kProgrammerWaitingVersion + state.version.value_or(QString());
    case Status::ReadyForFile:
        return link::texts::kReadyForFile;
    case Status::Transferring:
        return load::texts::transferring(state.percent);
    case Status::LoadedOk:
        return link::texts::kFileLoadedOk;
    case Status::LoadError:
        return loadErrorText(n, state.code);
    case Status::Programming:
        return spacedPercent(link::texts::kProgrammingTargetBoardPrefix, state.percent);
    case Status::Verifying:
        return spacedPercent(link::texts::kVerifyingFilePrefix, state.percent);
    case Status::ProgrammedOk:
        return link::texts::kBoardProgrammedOk;
    case Status::TargetError:
        return targetErrorText(n, state.code);
    case Status::Lost:
        return load::texts::kCommunicationLost;
    case Status::NotProgrammed:
        return texts::kNotProgrammedLastLoadFailed;
    }
    return {};
}

QStringList Pane::statusTexts(int n)
{
    using link::Status;
    QStringList all;
    link::ProgrammerState state;
    state.version = QStringLiteral("WWWW"); // a greeting carries four characters
    state.percent = 100;
    for (int status = int(Status::Blank); status <= int(Status::NotProgrammed); ++status) {
        state.status = Status(status);
        const bool coded = state.status == Status::LoadError || state.status == Status::TargetError;
        for (int com = 1; com <= (state.status == Status::Found ? 15 : 1); ++com) {
            state.comPort = quint8(com);
            for (int code = 0; code <= (coded ? 255 : 0); ++code) {
                state.code = code;
                all << statusText(n, state);
            }
        }
    }
    all.removeDuplicates();
    all.removeAll(QString());
    return all;
}

Pane Pane::of(int n, const link::ProgrammerState &state)
{
    return {statusText(n, state), state.barValue, state.barMaximum, QString::number(state.count),
            state.visible};
}

QString Pane::programmerVersionText(const link::ProgrammerState &first)
{
    if (!link::traitsOf(1).greetsOnVersionLabel || !first.version)
        return {};
    return link::texts::kProgrammerSoftwareVersion + *first.version;
}

QString Pane::softwareVersionText(const link::ProgrammerState &first)
{
    if (!link::traitsOf(1).namesBoardSoftware || !first.boardSoftware)
        return {};
    return link::texts::kBoardSoftwareVersion + *first.boardSoftware;
}

const char *Pane::progressPhase(link::Status status)
{
    switch (status) {
    case link::Status::Transferring:
        return "transfer";
    case link::Status::Programming:
        return "program";
    case link::Status::Verifying:
        return "verify";
    default:
        return nullptr;
    }
}

} // namespace vell::app
