// Guards the program-target command: who gets the "T" frame, its bytes, and what it leaves alone.
#include "common/fakeseriallink.h"
#include "common/files.h"
#include "common/recordingoperator.h"

#include "link/links.h"
#include "link/texts.h"
#include "target/programtarget.h"

#include <QTest>

using namespace vell;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

const QByteArray kFifteenZeros(15, '\0');

struct Rig
{
    explicit Rig(int present)
    {
        for (int n = 1; n <= link::kProgrammerCount; ++n) {
            auto &s = programmers.slot(n);
            s.comPort = quint8(n);
            s.present = n <= present;
            s.replyUsbr = s.replySend = s.replyLpOk = s.replyLpEr = true;
            s.replyPtOk = s.replyPtEr = s.replyData = true;
            s.replyText = QStringLiteral("earlier reply");
            panes.setStatus(n, QStringLiteral("File Loaded OK"));
        }
    }

    test::FakeSerialLink &fake(int n)
    {
        return *static_cast<test::FakeSerialLink *>(links.link(n));
    }

    test::WorkFolder work; // port files land in the working folder
    link::ProgrammerSlots programmers;
    link::PaneBoard panes;
    link::PortNames names = link::PortNames::fromDirectory(work.path());
    test::RecordingOperator op;
    test::FakeLinkBank bank;
    link::Links links{programmers, panes, names, op, bank.factory()};
    target::ProgramTarget command{programmers, links};
};

} // namespace

class tst_ProgramTarget : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void reachesPresentProgrammersOnly();
    void frameCarriesLastLoadSize_data();
    void frameCarriesLastLoadSize();
    void secondPressReopensNothing();
    void invalidFirstPortStillServesOthers();
};

void tst_ProgramTarget::reachesPresentProgrammersOnly()
{
    Rig rig(3);
    rig.command.run();

    const QByteArray frame = hex("415054") + kFifteenZeros + hex("000000 00F2 0D");
    for (int n = 1; n <= 3; ++n) {
        QCOMPARE(rig.fake(n).openCalls, 1);
        QCOMPARE(rig.fake(n).written(), frame);
        QCOMPARE(rig.panes.pane(n).status, link::texts::kProgrammingTargetBoard);
        QVERIFY(rig.programmers.slot(n).replyText.isEmpty());
    }
    QCOMPARE(rig.fake(4).openCalls, 0);
    QVERIFY(rig.fake(4).written().isEmpty());
    QCOMPARE(rig.panes.pane(4).status, QStringLiteral("File Loaded OK"));
    QCOMPARE(rig.programmers.slot(4).replyText, QStringLiteral("earlier reply"));

    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        const auto &s = rig.programmers.slot(n);
        QVERIFY2(!(s.replyUsbr || s.replySend || s.replyLpOk || s.replyLpEr || s.replyPtOk ||
                   s.replyPtEr || s.replyData),
                 qPrintable(QStringLiteral("programmer %1 keeps a flag").arg(n)));
    }
    QVERIFY(rig.op.messages.isEmpty());
}

void tst_ProgramTarget::frameCarriesLastLoadSize_data()
{
    QTest::addColumn<bool>("loaded");
    QTest::addColumn<quint32>("length");
    QTest::addColumn<QByteArray>("tail");

    QTest::newRow("no file loaded") << false << 0u << hex("000000 00F2 0D");
    QTest::newRow("74,565 bytes") << true << 74565u << hex("012345 015B 0D");
    QTest::newRow("largest length") << true << 16777215u << hex("FFFFFF 03EF 0D");
}

void tst_ProgramTarget::frameCarriesLastLoadSize()
{
    QFETCH(bool, loaded);
    QFETCH(quint32, length);
    QFETCH(QByteArray, tail);

    Rig rig(4);
    if (loaded)
        rig.links.setSizeFields(link::CommandFrame::SizeFields::fromLength(length));
    rig.command.run();

    const QByteArray frame = hex("415054") + kFifteenZeros + tail;
    for (int n = 1; n <= 4; ++n) {
        QCOMPARE(rig.fake(n).written(), frame);
        // One byte per write, interleaved across the links.
        QCOMPARE(rig.fake(n).writes.size(), link::CommandFrame::kSize);
    }
    QCOMPARE(rig.links.lastFrame(), frame);
}

void tst_ProgramTarget::secondPressReopensNothing()
{
    Rig rig(2);
    rig.command.run();
    // Half a reply already waiting: the command must leave it for the reply handler.
    rig.fake(2).inject(QByteArray("APTOK", 5));
    rig.programmers.slot(1).replyPtOk = true;

    rig.command.run();

    for (int n = 1; n <= 2; ++n) {
        QCOMPARE(rig.fake(n).openCalls, 1);
        QCOMPARE(rig.fake(n).written().size(), 2 * link::CommandFrame::kSize);
    }
    QCOMPARE(rig.fake(2).bytesAvailable(), qint64(5));
    QVERIFY(!rig.programmers.slot(1).replyPtOk);
    QVERIFY(rig.op.messages.isEmpty());
}

void tst_ProgramTarget::invalidFirstPortStillServesOthers()
{
    Rig rig(3);
    rig.fake(1).openResult = link::SerialLink::OpenResult::InvalidPort;
    rig.command.run();

    QCOMPARE(rig.op.messages.size(), 1);
    QCOMPARE(rig.op.messages.first().first, link::texts::kIncorrectPortNumber);
    QCOMPARE(rig.op.messages.first().second, link::texts::kVellProgrammer);
    for (int n = 2; n <= 3; ++n)
        QCOMPARE(rig.fake(n).written().size(), link::CommandFrame::kSize);
}

QTEST_GUILESS_MAIN(tst_ProgramTarget)
#include "tst_programtarget.moc"
