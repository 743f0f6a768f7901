#include "pane.h"

#include "programmertraits.h"
#include "texts.h"

#include <QList>
#include <QPair>

namespace vell::model {

namespace {

constexpr int kOldBlackBoxCode = 12;

/// The text for an error code in table, or undefined; code 12 follows the programmer's traits.
QString errorText(ProgrammerNumber n, int code, const QList<QPair<int, QString>> &table,
                  const QString &undefined)
{
    // Code 12 is in both tables, but not every programmer's handler knows it.
    if (code == kOldBlackBoxCode)
        return traitsOf(n).knowsCode12 ? texts::kOldBlackBoxError12 : undefined;
    for (const auto &[known, text] : table) {
        if (known == code)
            return text;
    }
    return undefined;
}

QString loadErrorText(ProgrammerNumber n, int code)
{
    using namespace texts;
    static const QList<QPair<int, QString>> table = {
        {1, kLoadError1}, {2, kLoadError2}, {3, kLoadError3}, {4, kLoadError4},
        {5, kLoadError5}, {6, kLoadError6}, {7, kLoadError7}, {8, kLoadError8},
    };
    return errorText(n, code, table, kUndefinedLoadError);
}

QString targetErrorText(ProgrammerNumber n, int code)
{
    using namespace texts;
    static const QList<QPair<int, QString>> table = {
        {9, kTargetError9},
        {10, kTargetError10},
        {11, kTargetError11},
    };
    return errorText(n, code, table, kUndefinedTargetError);
}

QString spacedPercent(const QString &prefix, int percent)
{
    return prefix + QString::number(percent) + texts::kSpacedPercentComplete;
}

} // namespace

QString Pane::statusText(ProgrammerNumber n, const ProgrammerState &state)
{
    const ProgrammerTraits &traits = traitsOf(n);
    switch (state.status) {
    case Status::Blank:
        break;
    case Status::Found:
        return traits.numbersFoundText
                   ? texts::numberedProgrammerFound(n.value(), state.comPort)
                   : texts::kProgrammerFoundOnComPort + QString::number(state.comPort);
    case Status::Establishing:
        return texts::kEstablishingCommunication;
    case Status::ProgrammingTargetBoard:
        return texts::kProgrammingTargetBoard;
    case Status::Waiting:
        return traits.greetsOnVersionLabel
                   ? texts::kProgrammerWaiting
                   : texts::kProgrammerWaitingVersion + state.version.value_or(QString());
    case Status::ReadyForFile:
        return texts::kReadyForFile;
    case Status::Transferring:
        return texts::transferring(state.percent);
    case Status::LoadedOk:
        return texts::kFileLoadedOk;
    case Status::LoadError:
        return loadErrorText(n, state.code);
    case Status::Programming:
        return spacedPercent(texts::kProgrammingTargetBoardPrefix, state.percent);
    case Status::Verifying:
        return spacedPercent(texts::kVerifyingFilePrefix, state.percent);
    case Status::ProgrammedOk:
        return texts::kBoardProgrammedOk;
    case Status::TargetError:
        return targetErrorText(n, state.code);
    case Status::Lost:
        return texts::kCommunicationLost;
    case Status::NotProgrammed:
        return texts::kNotProgrammedLastLoadFailed;
    case Status::ImageNotApproved:
        return texts::kNotProgrammedImageNotApproved;
    case Status::NoBoardSerial:
        return texts::kNotProgrammedNoBoardSerial;
    case Status::SameBoardSerialTwice:
        return texts::kNotProgrammedSameBoardSerialTwice;
    }
    return {};
}

QStringList Pane::statusTexts(ProgrammerNumber n)
{
    QStringList all;
    ProgrammerState state;
    state.version = QStringLiteral("WWWW"); // a greeting carries four characters
    state.percent = 100;
    for (int status = int(Status::Blank); status <= int(Status::SameBoardSerialTwice); ++status) {
        state.status = Status(status);
        const bool coded = state.status == Status::LoadError || state.status == Status::TargetError;
        for (int com = 1; com <= (state.status == Status::Found ? link::PortNames::kMaxPort : 1);
             ++com) {
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

QString Pane::boardNote(const ProgrammerState &state, const BoardRules &rules)
{
    if (state.boardScan.problem != BoardProblem::None)
        return texts::scanRefused(rules.reason(state.boardScan.text));
    if (state.boardBefore)
        return texts::programmedBefore(
            state.boardBefore->when.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
            state.boardBefore->by.value());
    return {};
}

Pane Pane::of(ProgrammerNumber n, const ProgrammerState &state)
{
    return {statusText(n, state), state.barValue, state.barMaximum, QString::number(state.count),
            state.visible};
}

QString Pane::programmerVersionText(const ProgrammerState &first)
{
    if (!traitsOf(ProgrammerNumber(1)).greetsOnVersionLabel || !first.version)
        return {};
    return texts::kProgrammerSoftwareVersion + *first.version;
}

QString Pane::softwareVersionText(const ProgrammerState &first)
{
    if (!traitsOf(ProgrammerNumber(1)).namesBoardSoftware || !first.boardSoftware)
        return {};
    return texts::kBoardSoftwareVersion + *first.boardSoftware;
}

const char *Pane::progressPhase(Status status)
{
    switch (status) {
    case Status::Transferring:
        return "transfer";
    case Status::Programming:
        return "program";
    case Status::Verifying:
        return "verify";
    default:
        return nullptr;
    }
}

} // namespace vell::model
