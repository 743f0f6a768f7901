// Fuzzes the reply handler: arbitrary bytes, split at arbitrary points, for programmer 1..4.
// Nothing may crash, the programmer's state and its pane must stay well-formed after every
// read, and a verdict is what the pane then shows.
//
// Input layout: byte 0 picks the programmer (low two bits), whether it starts greeted and
// ready (bit 2), and the step under way (bit 3: program-target, else a load); then chunks of
// [length byte][that many bytes] fed as one read each. A length byte of 0 drops a partial
// reply, as a sender's drain does.
#include "model/pane.h"
#include "model/replyhandler.h"
#include "model/texts.h"

#include <QRegularExpression>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using namespace vell::model;
using vell::link::Reply;

[[noreturn]] void fail(const char *what, const QString &detail)
{
    std::fprintf(stderr, "invariant broken: %s [%s]\n", what, qPrintable(detail));
    std::abort();
}

bool knownStatus(const QString &s)
{
    static const QStringList fixed = {
        QString(),
        texts::kProgrammerWaiting,
        texts::kReadyForFile,
        texts::kFileLoadedOk,
        texts::kBoardProgrammedOk,
        texts::kLoadError1,
        texts::kLoadError2,
        texts::kLoadError3,
        texts::kLoadError4,
        texts::kLoadError5,
        texts::kLoadError6,
        texts::kLoadError7,
        texts::kLoadError8,
        texts::kTargetError9,
        texts::kTargetError10,
        texts::kTargetError11,
        texts::kOldBlackBoxError12,
        texts::kUndefinedLoadError,
        texts::kUndefinedTargetError,
    };
    if (fixed.contains(s))
        return true;
    if (s.startsWith(texts::kProgrammerWaitingVersion))
        return s.size() == texts::kProgrammerWaitingVersion.size() + 4;
    static const QRegularExpression progress(
        QStringLiteral("^(Verifying File|Programming Target Board) / (\\d{1,3}) % Complete$"));
    const QRegularExpressionMatch m = progress.match(s);
    return m.hasMatch() && m.captured(2).toInt() <= 100;
}

void check(ProgrammerNumber n, const Programmers &programmers, const ReplyHandler &handler)
{
    const ProgrammerState &state = programmers.state(n);
    const Pane pane = Pane::of(n, state);
    if (pane.barMaximum < 0 || pane.barValue < 0 || pane.barValue > pane.barMaximum)
        fail("bar out of range",
             QStringLiteral("%1 of %2").arg(pane.barValue).arg(pane.barMaximum));
    if (!knownStatus(pane.status))
        fail("status text", pane.status);
    bool ok = false;
    const int count = pane.countText.toInt(&ok);
    if (!ok || count < 0 || count > 255)
        fail("count text", pane.countText);
    if (handler.pendingBytes() < 0 || handler.pendingBytes() >= Reply::kSize)
        fail("pending bytes", QString::number(handler.pendingBytes()));
    if (state.count < 0 || state.count > 255 || state.progressCount < 0)
        fail("progress counters", QString::number(state.progressCount));
    const QString version = Pane::programmerVersionText(programmers.state(ProgrammerNumber(1)));
    const QString board = Pane::softwareVersionText(programmers.state(ProgrammerNumber(1)));
    if (n.value() != 1 && (!version.isEmpty() || !board.isEmpty()))
        fail("version labels written by another programmer", version + board);
    if (!version.isEmpty() && version.size() != texts::kProgrammerSoftwareVersion.size() + 4)
        fail("programmer version", version);
    // The image programmer 1 holds, or none after a load of its that failed.
    if (!board.isEmpty() && board != texts::kBoardSoftwareVersion + QStringLiteral("image.bin") &&
        board != texts::kBoardSoftwareVersion)
        fail("board version", board);
    for (const ProgrammerNumber other : ProgrammerSet::all()) {
        const ProgrammerState &o = programmers.state(other);
        if (other != n && (o.greeted || o.ready || o.status != Status::Blank))
            fail("another programmer's state", QString::number(other.value()));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const ProgrammerNumber n((data[0] & 0x3) + 1);
    Programmers programmers;
    ReplyHandler handler(n, programmers);
    if (data[0] & 0x4)
        programmers.update(n, [](ProgrammerState &s) { s.greeted = s.ready = true; });
    // It holds image.bin from an earlier load; the step under way is a load of the same file or
    // a program-target with it.
    StepRecord held;
    held.step = Step::Load;
    held.ending = Ending::Ok;
    held.image = ImageIdentity{QStringLiteral("image.bin"), {}, 9, {}, {}};
    programmers.setLastStep(n, held);
    const Step underWay = (data[0] & 0x8) ? Step::ProgramTarget : Step::Load;
    bool stepEnded = false;
    // A verdict comes from the programmer it names, and what the pane shows then is that
    // verdict, with its code.
    QObject::connect(&handler, &ReplyHandler::verdict, &handler,
                     [&](ProgrammerNumber from, Step step, std::optional<int> code) {
                         const ProgrammerState &s = programmers.state(n);
                         const bool load = step == Step::Load;
                         const Status shown =
                             !code ? (load ? Status::LoadedOk : Status::ProgrammedOk)
                                   : (load ? Status::LoadError : Status::TargetError);
                         if (from != n || s.status != shown || (code && *code != s.code))
                             fail("verdict", Pane::statusText(n, s));
                         if (step == underWay && !code && load && s.status != Status::LoadedOk)
                             fail("load verdict", Pane::statusText(n, s));
                         // The first verdict of its kind ends the step, as its operation
                         // records it: a failed load leaves no image to name.
                         if (step == underWay && !stepEnded) {
                             stepEnded = true;
                             StepRecord ended = held;
                             ended.step = step;
                             ended.ending = code ? Ending::Error : Ending::Ok;
                             ended.code = code;
                             programmers.setLastStep(n, ended);
                         }
                     });

    size_t pos = 1;
    while (pos < size) {
        const size_t length = data[pos++];
        if (length == 0) {
            handler.discardPending();
            continue;
        }
        const size_t take = std::min(length, size - pos);
        handler.feed(QByteArray(reinterpret_cast<const char *>(data + pos), qsizetype(take)));
        pos += take;
        check(n, programmers, handler);
    }
    return 0;
}
