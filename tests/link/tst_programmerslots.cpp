// Guards the four programmer slots: which fields clearReplyFlags and resetReplies touch, and
// which programmers a command addresses.
#include "link/programmerslot.h"

#include <QtTest>

using vell::link::ProgrammerSlot;
using vell::link::ProgrammerSlots;

namespace {

int flagsRaised(const ProgrammerSlot &s)
{
    return int(s.replyUsbr) + int(s.replySend) + int(s.replyLpOk) + int(s.replyLpEr) +
           int(s.replyPtOk) + int(s.replyPtEr) + int(s.replyData);
}

} // namespace

class TstProgrammerSlots : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void clearAndReset()
    {
        ProgrammerSlots programmers;
        // Every field set; programmer 4 absent, since an absent one's flags are cleared too.
        for (int n = 1; n <= vell::link::kProgrammerCount; ++n) {
            ProgrammerSlot &s = programmers.slot(n);
            s.comPort = quint8(n + 2);
            s.present = n != 4;
            s.replyUsbr = s.replySend = s.replyLpOk = s.replyLpEr = true;
            s.replyPtOk = s.replyPtEr = s.replyData = true;
            s.replyText = QStringLiteral("reply %1").arg(n);
            s.progressCount = n;
            s.progressTotal = 10 * n;
        }

        // resetReplies: flags and reply text of its own slot only.
        programmers.resetReplies(2);
        for (int n = 1; n <= vell::link::kProgrammerCount; ++n) {
            QCOMPARE(flagsRaised(programmers.slot(n)), n == 2 ? 0 : 7);
            QCOMPARE(programmers.slot(n).replyText,
                     n == 2 ? QString() : QStringLiteral("reply %1").arg(n));
        }

        // clearReplyFlags: the flags of all four, nothing else.
        programmers.clearReplyFlags();
        for (int n = 1; n <= vell::link::kProgrammerCount; ++n) {
            const ProgrammerSlot &s = programmers.slot(n);
            QCOMPARE(flagsRaised(s), 0);
            QCOMPARE(s.replyText, n == 2 ? QString() : QStringLiteral("reply %1").arg(n));
            QCOMPARE(int(s.comPort), n + 2);
            QCOMPARE(s.present, n != 4);
            QCOMPARE(s.progressCount, n);
            QCOMPARE(s.progressTotal, 10 * n);
        }
    }

    void targets()
    {
        ProgrammerSlots programmers;
        // Programmer 1 takes part without being marked present.
        QCOMPARE(programmers.targets(), (std::array<bool, 4>{true, false, false, false}));
        QCOMPARE(programmers.presentCount(), 0);
        programmers.slot(3).present = true;
        QCOMPARE(programmers.targets(), (std::array<bool, 4>{true, false, true, false}));
        QCOMPARE(programmers.presentCount(), 1);
    }
};

QTEST_GUILESS_MAIN(TstProgrammerSlots)
#include "tst_programmerslots.moc"
