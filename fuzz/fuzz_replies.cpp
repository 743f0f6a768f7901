// Fuzzes the reply handler: arbitrary bytes, split at arbitrary points, for programmer 1..4.
// Nothing may crash and the pane must stay well-formed after every read.
//
// Input layout: byte 0 picks the programmer (low two bits) and whether its slot starts with
// every flag set (bit 2); then chunks of [length byte][that many bytes] fed as one read each.
// A length byte of 0 drops a partial reply, as a sender's drain does.
#include "link/pane.h"
#include "link/programmerslot.h"
#include "link/replyhandler.h"
#include "link/texts.h"

#include <QRegularExpression>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using namespace vell::link;

struct Hooks : ReplyHooks
{
    void releaseProgramFile() override { ++releases; }
    QString lastLoadedFileName() const override { return QStringLiteral("image.bin"); }
    int releases = 0;
};

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

void check(int n, const ProgrammerSlots &programmers, const PaneBoard &panes,
           const ReplyHandler &handler)
{
    const Pane &pane = panes.pane(n);
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
    const ProgrammerSlot &slot = programmers.slot(n);
    if (!slot.replyText.isEmpty() && slot.replyText.size() != Reply::kSize)
        fail("reply text length", QString::number(slot.replyText.size()));
    if (slot.progressTotal < 0 || slot.progressTotal > 255 || slot.progressCount < 0)
        fail("progress counters", QString::number(slot.progressCount));
    const QString version = panes.programmerVersion();
    const QString board = panes.softwareVersion();
    if (n != 1 && (!version.isEmpty() || !board.isEmpty()))
        fail("version labels written by another programmer", version + board);
    if (!version.isEmpty()
        && version.size() != texts::kProgrammerSoftwareVersion.size() + 4)
        fail("programmer version", version);
    if (!board.isEmpty() && board != texts::kBoardSoftwareVersion + QStringLiteral("image.bin"))
        fail("board version", board);
    for (int other = 1; other <= kProgrammerCount; ++other) {
        const ProgrammerSlot &o = programmers.slot(other);
        if (other != n && (o.replyUsbr || o.replySend || o.replyLpOk || o.replyData))
            fail("another programmer's flags", QString::number(other));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int n = (data[0] & 0x3) + 1;
    ProgrammerSlots programmers;
    PaneBoard panes;
    Hooks hooks;
    ReplyHandler handler(n, programmers, panes, hooks);
    if (data[0] & 0x4) {
        ProgrammerSlot &s = programmers.slot(n);
        s.replyUsbr = s.replySend = s.replyLpOk = s.replyLpEr = true;
        s.replyPtOk = s.replyPtEr = s.replyData = true;
    }

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
        check(n, programmers, panes, handler);
    }
    return 0;
}
