// Guards openLink and sendFrame: status text, port files, opening once, the invalid-port
// messages, and byte-by-byte interleaving of a frame across the programmers' links.
#include "common/fakeseriallink.h"
#include "common/files.h"
#include "common/readonlyfolder.h"
#include "common/recordingoperator.h"
#include "link/links.h"
#include "link/texts.h"

#include <QtTest>

#include <optional>

using namespace vell::link;
using vell::test::FakeLinkBank;
using vell::test::FakeSerialLink;
using vell::test::ReadOnlyFolder;
using vell::test::RecordingOperator;
using Message = QPair<QString, QString>;

namespace {

/// Links over fakes, with programmers 1..present found on COM ports 3, 5, 7, 9.
struct Rig
{
    explicit Rig(int present, const QString &dir = QStringLiteral("/nonexistent"))
        : names(PortNames::fromDirectory(dir))
    {
        for (int n = 1; n <= present; ++n) {
            programmers.slot(n).comPort = quint8(2 * n + 1);
            programmers.slot(n).present = true;
        }
        links = std::make_unique<Links>(programmers, panes, names, op, bank.factory());
    }

    FakeSerialLink &fake(int n) { return *bank.links.at(size_t(n - 1)); }

    /// One command as the senders issue it: open each addressed link, then one frame.
    void command(Links::Command command, const QString &status = texts::kProgrammingTargetBoard)
    {
        const auto targets = programmers.targets();
        for (int n = 1; n <= kProgrammerCount; ++n) {
            if (targets[size_t(n - 1)])
                links->openLinks(vell::test::only(n), status, command, {});
        }
        links->sendFrame(CommandFrame::kProgramTarget, CommandFrame::Params{}, targets);
    }

    ProgrammerSlots programmers;
    PaneBoard panes;
    PortNames names;
    RecordingOperator op;
    FakeLinkBank bank;
    std::unique_ptr<Links> links;
};

QList<QByteArray> oneByteWrites(const QByteArray &frame)
{
    QList<QByteArray> writes;
    for (char c : frame)
        writes.append(QByteArray(1, c));
    return writes;
}

} // namespace

class TstLinks : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void frameInterleavesByteByByteInProgrammerOrder();
    void secondCommandReopensNothingAndShowsNothing();
    void invalidPort_data();
    void invalidPort();
    void otherOpenFailureIsSilent();
    void linkRefusingAByteGetsNoMoreOfTheFrame();
    void lostDeviceIsReportedAndReopenedByTheNextCommand();
    void openLinkShowsStatusAndOpensDeviceAndPortFile();
    void portFileThatCannotBeCreatedIsSkipped_data();
    void portFileThatCannotBeCreatedIsSkipped();

private:
    std::unique_ptr<vell::test::WorkFolder> m_work;
};

void TstLinks::init()
{
    m_work = std::make_unique<vell::test::WorkFolder>(); // port files land here
    QVERIFY(m_work->isValid());
}

void TstLinks::cleanup()
{
    m_work.reset();
}

void TstLinks::frameInterleavesByteByByteInProgrammerOrder()
{
    Rig rig(3);
    rig.links->setSizeFields(CommandFrame::SizeFields::fromLength(74565));
    rig.command(Links::Command::ProgramTarget);

    const QByteArray frame =
        CommandFrame::programTarget(CommandFrame::SizeFields::fromLength(74565));
    QCOMPARE(rig.links->lastFrame(), frame);
    for (int n = 1; n <= 3; ++n)
        QCOMPARE(rig.fake(n).writes, oneByteWrites(frame));

    // Byte i reaches programmers 1, 2, 3 before byte i + 1 reaches any of them.
    QCOMPARE(rig.bank.writeLog.size(), 3 * CommandFrame::kSize);
    for (int k = 0; k < rig.bank.writeLog.size(); ++k) {
        QCOMPARE(rig.bank.writeLog.at(k).first, k % 3);
        QCOMPARE(rig.bank.writeLog.at(k).second, QByteArray(1, frame.at(k / 3)));
    }
    QCOMPARE(rig.fake(4).openCalls, 0);
    QVERIFY(rig.fake(4).writes.isEmpty());
}

void TstLinks::secondCommandReopensNothingAndShowsNothing()
{
    Rig rig(4);
    rig.command(Links::Command::Load, texts::kEstablishingCommunication);
    rig.command(Links::Command::ProgramTarget);
    QVERIFY(rig.op.messages.isEmpty());
    for (int n = 1; n <= 4; ++n) {
        QCOMPARE(rig.fake(n).openCalls, 1);
        QCOMPARE(rig.fake(n).closeCalls, 0);
        QCOMPARE(rig.fake(n).writes.size(), 2 * CommandFrame::kSize);
        // The status box still follows each command.
        QCOMPARE(rig.panes.pane(n).status, texts::kProgrammingTargetBoard);
    }
}

void TstLinks::invalidPort_data()
{
    QTest::addColumn<int>("bad");
    QTest::addColumn<bool>("noDevice");
    QTest::addColumn<Links::Command>("command");
    QTest::addColumn<QString>("prompt");
    QTest::addColumn<QString>("title");

    QTest::newRow("1 by program-target") << 1 << false << Links::Command::ProgramTarget
                                         << texts::kIncorrectPortNumber << texts::kVellProgrammer;
    QTest::newRow("1 by load") << 1 << false << Links::Command::Load << texts::kConnectProgrammer1
                               << texts::kIncorrectPortNumber;
    QTest::newRow("1 by load, no device for its number")
        << 1 << true << Links::Command::Load << texts::kConnectProgrammer1
        << texts::kIncorrectPortNumber;
    for (int n = 2; n <= 4; ++n) {
        for (auto command : {Links::Command::Load, Links::Command::ProgramTarget}) {
            const QByteArray row =
                QByteArray::number(n) +
                (command == Links::Command::Load ? " by load" : " by program-target");
            QTest::newRow(row.constData())
                << n << false << command
                << QStringLiteral("Please Make Sure Programmer %1 is Connected and Retry").arg(n)
                << QStringLiteral("Incorrect Port Number");
        }
    }
    QTest::newRow("3, no device for its number")
        << 3 << true << Links::Command::ProgramTarget << texts::connectProgrammerN(3)
        << texts::kIncorrectPortNumber;
}

void TstLinks::invalidPort()
{
    QFETCH(int, bad);
    QFETCH(bool, noDevice);
    QFETCH(Links::Command, command);
    QFETCH(QString, prompt);
    QFETCH(QString, title);

    Rig rig(4);
    if (noDevice)
        rig.programmers.slot(bad).comPort = 16; // beyond COM15: nothing stands for it
    else
        rig.fake(bad).openResult = SerialLink::OpenResult::InvalidPort;

    rig.command(command);
    QCOMPARE(rig.op.messages, (QList<Message>{{prompt, title}}));
    const QByteArray frame = CommandFrame::programTarget({});
    for (int n = 1; n <= 4; ++n)
        QCOMPARE(rig.fake(n).written(), n == bad ? QByteArray() : frame);

    // The next command tries the missing programmer again and tells the operator again; the
    // others are left open as they are.
    rig.command(command);
    QCOMPARE(rig.op.messages, (QList<Message>{{prompt, title}, {prompt, title}}));
    for (int n = 1; n <= 4; ++n) {
        if (n != bad)
            QCOMPARE(rig.fake(n).openCalls, 1);
        QCOMPARE(rig.fake(n).written(), n == bad ? QByteArray() : frame + frame);
    }
    QCOMPARE(rig.fake(bad).openCalls, noDevice ? 0 : 2);
}

void TstLinks::otherOpenFailureIsSilent()
{
    Rig rig(2);
    rig.fake(1).openResult = SerialLink::OpenResult::Failed;
    rig.command(Links::Command::Load, texts::kEstablishingCommunication);
    QVERIFY(rig.op.messages.isEmpty());
    QVERIFY(rig.fake(1).writes.isEmpty());
    QCOMPARE(rig.fake(2).written(), CommandFrame::programTarget({}));
    QCOMPARE(rig.panes.pane(1).status, texts::kEstablishingCommunication);
}

void TstLinks::linkRefusingAByteGetsNoMoreOfTheFrame()
{
    Rig rig(3);
    FakeSerialLink &two = rig.fake(2);
    two.onWrite = [&two](const QByteArray &) {
        if (two.writes.size() == 5)
            two.refuseWrites = true;
    };
    rig.command(Links::Command::ProgramTarget);
    const QByteArray frame = CommandFrame::programTarget({});
    QCOMPARE(two.written(), frame.left(5));
    QCOMPARE(rig.fake(1).written(), frame);
    QCOMPARE(rig.fake(3).written(), frame);
}

void TstLinks::lostDeviceIsReportedAndReopenedByTheNextCommand()
{
    Rig rig(3);
    QSignalSpy lost(rig.links.get(), &Links::deviceLost);
    rig.command(Links::Command::ProgramTarget);
    rig.fake(3).loseDevice();
    QCOMPARE(lost.count(), 1);
    QCOMPARE(lost.at(0).at(0).toInt(), 3);

    rig.command(Links::Command::ProgramTarget);
    QCOMPARE(rig.fake(3).openCalls, 2);
    QCOMPARE(rig.fake(1).openCalls, 1);
    QCOMPARE(rig.fake(3).writes.size(), 2 * CommandFrame::kSize);
}

void TstLinks::openLinkShowsStatusAndOpensDeviceAndPortFile()
{
    Rig rig(2, QStringLiteral("/dev/fake"));
    QVERIFY(!QFile::exists(QStringLiteral("5")));
    rig.links->openLinks(vell::test::only(2), texts::kEstablishingCommunication, Links::Command::Load, {});
    QCOMPARE(rig.panes.pane(2).status, texts::kEstablishingCommunication);
    QVERIFY(rig.panes.pane(1).status.isEmpty());
    QCOMPARE(rig.fake(2).openCalls, 1);
    QCOMPARE(rig.fake(2).deviceName(), QStringLiteral("/dev/fake/COM5"));
    QCOMPARE(rig.fake(1).openCalls, 0);
    QVERIFY(rig.links->portFile(2).isOpen());
    QCOMPARE(QFileInfo(rig.links->portFile(2).fileName()).absoluteFilePath(),
             QDir::current().absoluteFilePath(QStringLiteral("5")));
    QCOMPARE(QFileInfo(QStringLiteral("5")).size(), 0);
    QVERIFY(!rig.links->portFile(1).isOpen());

    // The next opening closes and reopens it; closePortFiles releases it.
    rig.links->openLinks(vell::test::only(2), texts::kProgrammingTargetBoard, Links::Command::ProgramTarget, {});
    QVERIFY(rig.links->portFile(2).isOpen());
    rig.links->closePortFiles();
    QVERIFY(!rig.links->portFile(2).isOpen());
    QVERIFY(QFile::exists(QStringLiteral("5")));
}

void TstLinks::portFileThatCannotBeCreatedIsSkipped_data()
{
    QTest::addColumn<bool>("readOnlyFolder");
    QTest::newRow("a folder stands where the file would go") << false;
    QTest::newRow("read-only folder") << true;
}

void TstLinks::portFileThatCannotBeCreatedIsSkipped()
{
    QFETCH(bool, readOnlyFolder);
    std::optional<ReadOnlyFolder> readOnly;
    if (readOnlyFolder) {
        readOnly.emplace(m_work->path());
        if (!readOnly->isReadOnly())
            QSKIP("no read-only folder on this file system");
    } else {
        QVERIFY(QDir::current().mkdir(QStringLiteral("3")));
    }
    Rig rig(1);
    rig.command(Links::Command::Load, texts::kEstablishingCommunication);
    QVERIFY(!rig.links->portFile(1).isOpen());
    QCOMPARE(QFileInfo::exists(QStringLiteral("3")), !readOnlyFolder);
    QCOMPARE(rig.fake(1).openCalls, 1);
    QCOMPARE(rig.fake(1).written(), CommandFrame::programTarget({}));
    QVERIFY(rig.op.messages.isEmpty());
}

QTEST_GUILESS_MAIN(TstLinks)
#include "tst_links.moc"
