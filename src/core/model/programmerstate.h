#pragma once

#include "boardserial.h"
#include "link/portnames.h"
#include "link/programmerset.h"
#include "record/attemptrecord.h"

#include <QDateTime>
#include <QJsonValue>
#include <QString>

#include <optional>

namespace vell::model {

using link::kProgrammerCount;
using link::PerProgrammer;
using link::ProgrammerNumber;
using link::ProgrammerSet;

/// A program file as it was when a load opened it: what a programmer took, as the record
/// names it.
using ImageIdentity = record::FileRecord;

/// The approved image (--expect-sha256, --expect-crc32): the hashes a program file must have
/// to be loaded, lower-case hex; an empty one is not checked.
struct ImagePin
{
    QString sha256;
    QString crc32;

    [[nodiscard]] bool isSet() const { return !sha256.isEmpty() || !crc32.isEmpty(); }
    /// Whether image has every hash given.
    [[nodiscard]] bool admits(const ImageIdentity &image) const
    {
        return (sha256.isEmpty() || sha256 == image.sha256) &&
               (crc32.isEmpty() || crc32 == image.crc32);
    }
};

enum class Step
{
    None,
    Load,
    ProgramTarget,
};

/// How one programmer's step ended, with the cause where the result alone does not say it.
enum class Ending
{
    Ok,           ///< the programmer reported success
    Error,        ///< the programmer answered with an error code
    Lost,         ///< its link dropped out: unplugged, writes refused, stalled
    Unopenable,   ///< its link could not be opened (the invalid-port message)
    TimedOut,     ///< the watchdog ended the load's handshake
    StreamFailed, ///< the load ended before the file was sent
    NotStarted,   ///< the load ended before its first frame (programmer 1 lost at the drain)
    Timeout,      ///< nothing came before the headless run's timeout
    Superseded,   ///< the next command began first
    Closed,       ///< the application ended first
    Skipped,      ///< program-target left it out (Programmers::leftOut says why)
};

/// The result the record names for an ending.
[[nodiscard]] record::Result resultOf(Ending ending);

/// What a programmer's status box shows, as data; the pane renders the words.
enum class Status
{
    Blank,
    Found,                  ///< the search found it on its COM port
    Establishing,           ///< a load opens its link
    ProgrammingTargetBoard, ///< program-target opens its link
    Waiting,                ///< its greeting ("AUSBR"), with its version
    ReadyForFile,           ///< "ASEND"
    Transferring,           ///< the stream, at percent
    LoadedOk,               ///< "ALPOK"
    LoadError,              ///< "ALPER", with code
    Programming,            ///< "APROG", at percent
    Verifying,              ///< "AVERI", at percent
    ProgrammedOk,           ///< "APTOK"
    TargetError,            ///< "APTER", with code
    Lost,                   ///< its link dropped out or could not be opened
    NotProgrammed,          ///< program-target left it out after a failed load
    ImageNotApproved,       ///< program-target left it out: it holds no approved image
    NoBoardSerial,          ///< left out: a serial is required and its board has none
    SameBoardSerialTwice,   ///< left out: another programmer holds its board's serial too
};

/// One programmer's step, from its start to its end: what its record says.
struct StepRecord
{
    Step step = Step::None;
    QDateTime started;
    QDateTime ended;
    /// A load's program file; a program-target's image is the one the programmer took last.
    std::optional<ImageIdentity> image;
    bool restoreDefaults = false; ///< a load's options
    bool blackBox = false;
    /// The approved image the run was started with, if any.
    ImagePin expected;
    std::optional<Ending> ending; ///< set once, when the step ends
    std::optional<int> code;      ///< the programmer's error code
    /// 1 for a step the command of every programmer began; each repeat of the same step on
    /// this programmer counts one more.
    int tryNumber = 1;
    /// The status text shown when it ended.
    QString text;
    /// A program-target's board serial (empty: none given), and whether this run had
    /// programmed that board OK before.
    QString board;
    bool reprogrammed = false;
    /// The control socket's request that began it (any JSON value; none: not the socket's).
    std::optional<QJsonValue> requestId;

    [[nodiscard]] record::Result result() const
    {
        return ending ? resultOf(*ending) : record::Result::NoResult;
    }
    [[nodiscard]] bool succeeded() const { return ending == Ending::Ok; }
};

/// Everything the application knows of one programmer: where the search found it, what its
/// link and its replies said, what its pane shows, and how its last steps ended. Panes, records
/// and events are rendered from this; the steps under way belong to their operations.
struct ProgrammerState
{
    quint8 comPort = 0;
    bool present = false; ///< found by the search
    /// The device its link opened last (before any opening: the one the search found).
    link::PortNames::Identity port;

    bool greeted = false; ///< an "AUSBR" since the last command
    bool ready = false;   ///< an "ASEND" since the last command
    /// The version of its last greeting.
    std::optional<QString> version;

    Status status = Status::Blank;
    int percent = 0; ///< Transferring, Programming, Verifying; 0 otherwise
    int code = 0;    ///< LoadError, TargetError; 0 otherwise
    int barValue = 0;
    int barMaximum = 100;
    int count = 1; ///< the count box: the total of the last progress reply
    bool visible = false;
    /// Progress replies counted in the program/verify phase.
    int progressCount = 0;
    /// The file its last "APTOK" named as the board's software (programmer 1 shows it).
    std::optional<QString> boardSoftware;

    /// What its board field took last (the windows with board fields).
    BoardScan boardScan;
    /// Its last program-target's board had been programmed OK before in this run: when, by whom.
    std::optional<BoardProgrammed> boardBefore;

    /// Its last load and its last program-target that ended in this run, and which of the two
    /// ended last.
    std::optional<StepRecord> lastLoad;
    std::optional<StepRecord> lastTarget;
    Step lastKind = Step::None;

    /// Its last step of that kind that ended in this run.
    [[nodiscard]] const std::optional<StepRecord> &last(Step kind) const
    {
        return kind == Step::Load ? lastLoad : lastTarget;
    }
    /// Its last step that ended, of either kind; null before the first.
    [[nodiscard]] const StepRecord *lastStep() const
    {
        const auto &step = last(lastKind);
        return lastKind != Step::None && step ? &*step : nullptr;
    }
    /// The image its last load took, when that load ended OK.
    [[nodiscard]] std::optional<ImageIdentity> image() const
    {
        return lastLoad && lastLoad->succeeded() ? lastLoad->image : std::nullopt;
    }
    /// Its last step was of that kind and ended without success. A skipped program-target is
    /// not counted: repeating it would skip again, its load has to be repeated first.
    [[nodiscard]] bool failed(Step kind) const
    {
        const StepRecord *step = lastStep();
        return step && step->step == kind && !step->succeeded() && step->ending != Ending::Skipped;
    }
    /// Its board was programmed in this run, or left out, without success.
    [[nodiscard]] bool boardPending() const { return lastTarget && !lastTarget->succeeded(); }
};

} // namespace vell::model
