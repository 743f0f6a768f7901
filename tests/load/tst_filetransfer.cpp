// Guards the load state machine over fake links: frame repeats, flow control, drop-outs, failures.
#include "load/filetransfer.h"
#include "load/texts.h"

#include "common/fakeseriallink.h"
#include "common/files.h"
#include "common/recordingoperator.h"
#include "link/links.h"
#include "link/pane.h"
#include "link/portnames.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

using vell::load::FileTransfer;
using vell::test::FakeSerialLink;
using vell::test::pattern;
namespace link = vell::link;

Q_DECLARE_METATYPE(vell::load::FileTransfer::Outcome)

namespace {

constexpr int kHandshakeMs = 20;
constexpr int kStallMs = 150;

/// A fake whose written bytes wait until the test lets the wire take them, like a real port.
class WireLink : public FakeSerialLink
{
public:
    qint64 maxPending = 0;
    int discardCalls = 0;
    void discardOutput() override
    {
        ++discardCalls;
        setPending(0);
    }
    bool write(const QByteArray &bytes) override
    {
        if (!FakeSerialLink::write(bytes))
            return false;
        setPending(bytesToWrite() + bytes.size());
        maxPending = std::max(maxPending, bytesToWrite());
        return true;
    }
    QByteArray blockBytes() const
    {
        QByteArray all;
        for (const QByteArray &w : writes) {
            if (w.size() == FileTransfer::kBlockSize)
                all += w;
        }
        return all;
    }
    int frameBytes() const
    {
        int n = 0;
        for (const QByteArray &w : writes)
            n += w.size() == 1 ? 1 : 0;
        return n;
    }
};

QByteArray blocksOf(const QByteArray &content)
{
    QByteArray out;
    for (int i = 0; i + 512 <= content.size(); i += 512)
        out += content.mid(i, 512) + QByteArray(1, '\0');
    return out;
}

struct Rig
{
    explicit Rig(int count)
        : names(link::PortNames::fromDirectory(dir.path())),
          links(programmers, panes, names, op,
                [this]() -> std::unique_ptr<link::SerialLink> {
                    auto l = std::make_unique<WireLink>();
                    wires.push_back(l.get());
                    return l;
                }),
          transfer(programmers, panes, links, op,
                   {[this] { return blackBox; }, [this] { return restoreDefaults; },
                    [this](int n) { discarded.append(n); }},
                   {kHandshakeMs, kStallMs})
    {
        for (int n = 1; n <= count; ++n) {
            programmers.slot(n).comPort = quint8(n + 2);
            programmers.slot(n).present = true;
        }
    }

    QString writeProgram(const QByteArray &bytes, const QString &name = "image.bin")
    {
        return vell::test::writeFile(dir.filePath(name), bytes) ? name : QString();
    }
    WireLink &wire(int n) { return *wires.at(size_t(n - 1)); }
    void answerReady(int count)
    {
        for (int n = 1; n <= count; ++n)
            programmers.slot(n).replySend = true;
    }
    /// The wire of every open link takes all that waits.
    void drainWires(int count)
    {
        for (int n = 1; n <= count; ++n) {
            if (wire(n).isOpen() && wire(n).bytesToWrite() > 0)
                wire(n).takePending(wire(n).bytesToWrite());
        }
    }

    QTemporaryDir dir;
    link::ProgrammerSlots programmers;
    link::PaneBoard panes;
    link::PortNames names;
    vell::test::RecordingOperator op;
    std::vector<WireLink *> wires;
    link::Links links;
    bool blackBox = false;
    bool restoreDefaults = false;
    QList<int> discarded;
    FileTransfer transfer;
};

} // namespace

class TstFileTransfer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // The frame repeats every handshake period to every programmer until all are ready; then
    // the stream; a second load meanwhile is ignored.
    void handshakeRepeatsUntilAllReady()
    {
        Rig rig(2);
        rig.restoreDefaults = true;
        const QString name = rig.writeProgram(pattern(1536));
        QSignalSpy arm(&rig.transfer, &FileTransfer::watchdogArmRequested);
        QSignalSpy disarm(&rig.transfer, &FileTransfer::watchdogDisarmRequested);
        QSignalSpy finished(&rig.transfer, &FileTransfer::finished);
        rig.transfer.loadProgramFile(rig.dir.path(), name);
        QCOMPARE(rig.transfer.state(), FileTransfer::State::Handshake);
        QCOMPARE(rig.discarded, QList<int>({1, 2}));
        QCOMPARE(rig.panes.pane(2).status, QStringLiteral("Establishing Communication"));
        QTRY_VERIFY(rig.wire(1).frameBytes() >= 3 * 24);

        rig.transfer.loadProgramFile(rig.dir.path(), name); // ignored: one load at a time
        QCOMPARE(rig.transfer.state(), FileTransfer::State::Handshake);

        rig.programmers.slot(1).replySend = true; // programmer 2 still not ready
        const int framesNow = rig.wire(2).frameBytes();
        QTRY_VERIFY(rig.wire(2).frameBytes() >= framesNow + 2 * 24);
        QCOMPARE(rig.wire(1).blockBytes().size(), 0);
        rig.programmers.slot(2).replySend = true;
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(disarm.count(), 1);
        QVERIFY(arm.count() >= 4);
        for (int n = 1; n <= 2; ++n) {
            const QByteArray frame = rig.wire(n).written().left(24);
            QCOMPARE(frame.toHex(' '), QByteArray("41 50 4c 01 00 00 00 00 00 00 00 00 00 00 00 "
                                                  "00 00 00 00 06 00 00 f1 0d"));
            QCOMPARE(rig.wire(n).frameBytes() % 24, 0);
            QCOMPARE(rig.wire(n).blockBytes(), blocksOf(pattern(1536)));
        }
    }

    // Never more than 8192 bytes wait on a link; the next blocks go out as the wire takes them.
    void flowControl()
    {
        Rig rig(4);
        const QByteArray content = pattern(64 * 512);
        QSignalSpy finished(&rig.transfer, &FileTransfer::finished);
        rig.transfer.loadProgramFile(rig.dir.path(), rig.writeProgram(content));
        rig.answerReady(4);
        QTRY_COMPARE(rig.transfer.state(), FileTransfer::State::Streaming);
        const int firstBatch = int(rig.wire(1).blockBytes().size());
        QCOMPARE(firstBatch, (8192 / 513) * 513);
        QCOMPARE(rig.panes.pane(3).status, QStringLiteral("Transferring File / 23% Complete"));
        while (finished.isEmpty()) {
            rig.drainWires(4);
            QVERIFY(QTest::qWaitFor(
                [&] { return !finished.isEmpty() || rig.wire(4).bytesToWrite() > 0; }, 1000));
        }
        QCOMPARE(finished.at(0).at(0).value<FileTransfer::Outcome>(),
                 FileTransfer::Outcome::Loaded);
        for (int n = 1; n <= 4; ++n) {
            QVERIFY(rig.wire(n).maxPending <= FileTransfer::kMaxPendingPerLink);
            QCOMPARE(rig.wire(n).blockBytes(), blocksOf(content));
            QCOMPARE(rig.panes.pane(n).barValue, 100);
        }
    }

    void dropOut_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("device lost") << "lost";
        QTest::newRow("write refused") << "refused";
        QTest::newRow("stalled") << "stalled";
    }

    // A failing link leaves the stream with "Communication with Programmer Lost"; the others
    // receive every block.
    void dropOut()
    {
        QFETCH(QString, how);
        Rig rig(3);
        const QByteArray content = pattern(80 * 512);
        QSignalSpy finished(&rig.transfer, &FileTransfer::finished);
        QSignalSpy dropped(&rig.transfer, &FileTransfer::droppedOutOfStream);
        rig.transfer.loadProgramFile(rig.dir.path(), rig.writeProgram(content));
        rig.answerReady(3);
        QTRY_COMPARE(rig.transfer.state(), FileTransfer::State::Streaming);
        WireLink &bad = rig.wire(2);
        if (how == "lost")
            bad.loseDevice();
        else if (how == "refused")
            bad.refuseWrites = true;
        while (finished.isEmpty()) {
            rig.wire(1).takePending(rig.wire(1).bytesToWrite());
            rig.wire(3).takePending(rig.wire(3).bytesToWrite());
            QVERIFY(QTest::qWaitFor(
                [&] { return !finished.isEmpty() || rig.wire(1).bytesToWrite() > 0; }, 2000));
        }
        QCOMPARE(finished.at(0).at(0).value<FileTransfer::Outcome>(),
                 FileTransfer::Outcome::Loaded);
        QCOMPARE(dropped.count(), 1);
        QCOMPARE(dropped.at(0).at(0).toInt(), 2);
        QVERIFY(rig.transfer.droppedOut(2));
        QVERIFY(!bad.isOpen());
        if (how == "stalled")
            QCOMPARE(bad.discardCalls, 1);
        QCOMPARE(rig.panes.pane(2).status, vell::load::texts::kCommunicationLost);
        QVERIFY(bad.blockBytes().size() < blocksOf(content).size());
        QCOMPARE(rig.wire(1).blockBytes(), blocksOf(content));
        QCOMPARE(rig.wire(3).blockBytes(), blocksOf(content));
        QCOMPARE(rig.panes.pane(3).status, QStringLiteral("Transferring File / 100% Complete"));
    }

    void lastLinkLostEndsLoad()
    {
        Rig rig(1);
        QSignalSpy finished(&rig.transfer, &FileTransfer::finished);
        rig.transfer.loadProgramFile(rig.dir.path(), rig.writeProgram(pattern(64 * 512)));
        rig.answerReady(1);
        QTRY_COMPARE(rig.transfer.state(), FileTransfer::State::Streaming);
        rig.wire(1).loseDevice();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).value<FileTransfer::Outcome>(),
                 FileTransfer::Outcome::AllLinksLost);
    }

    void streamFailures_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("released (ALPOK)") << "released";
        QTest::newRow("file changed since the frame") << "changed";
    }

    // The stream's own failures end the load between blocks: only whole blocks went out.
    void streamFailures()
    {
        QFETCH(QString, how);
        Rig rig(2);
        const QByteArray content = pattern(64 * 512);
        const QString name = rig.writeProgram(content);
        QSignalSpy finished(&rig.transfer, &FileTransfer::finished);
        rig.transfer.loadProgramFile(rig.dir.path(), name);
        if (how == "changed")
            rig.writeProgram(pattern(100), name);
        rig.answerReady(2);
        QTRY_VERIFY(rig.transfer.state() != FileTransfer::State::Handshake);
        if (how == "released") {
            QCOMPARE(rig.transfer.state(), FileTransfer::State::Streaming);
            rig.transfer.releaseProgramFile();
            rig.drainWires(2);
        }
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).value<FileTransfer::Outcome>(),
                 FileTransfer::Outcome::StreamFailed);
        QVERIFY(!rig.transfer.programFile().isOpen());
        const QByteArray sent = rig.wire(1).blockBytes();
        QCOMPARE(sent, blocksOf(content).left(sent.size()));
        QVERIFY(sent.size() < blocksOf(content).size());
        QCOMPARE(rig.wire(2).blockBytes(), sent);
    }

private:
    vell::test::WorkFolder m_workFolder; // port files are made in the working folder
};

QTEST_GUILESS_MAIN(TstFileTransfer)
#include "tst_filetransfer.moc"
