// Guards the simulator over a real QSerialPort link: greeting on every open, load handshake,
// blocks compared byte for byte, split and glued replies, read stall and rate, and an unplug
// reported once.
#include "link/commandframe.h"
#include "link/qserialportlink.h"
#include "sim/simbank.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <fcntl.h>
#include <unistd.h>

using vell::link::CommandFrame;
using vell::link::QSerialPortLink;
using vell::link::SerialLink;
using vell::sim::DeviceOptions;
using vell::sim::PtyProgrammer;
using vell::sim::SimBank;
using vell::sim::SimDevice;

Q_DECLARE_METATYPE(vell::sim::PtyProgrammer::OpenDetection)

namespace {

// Collects what a link receives, one entry per read.
class Reader : public QObject
{
public:
    explicit Reader(SerialLink *link) : m_link(link)
    {
        connect(link, &SerialLink::readyRead, this, [this] {
            const QByteArray got = m_link->readAll();
            if (!got.isEmpty()) {
                reads.append(got);
                all += got;
            }
        });
    }
    QList<QByteArray> reads;
    QByteArray all;

private:
    SerialLink *m_link;
};

QByteArray fileOf(int length)
{
    QByteArray f(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i)
        f[i] = char((i * 13 + i / 512) & 0xFF);
    return f;
}

QByteArray blocksOf(const QByteArray &file)
{
    QByteArray wire;
    for (int at = 0; at + 512 <= file.size(); at += 512)
        wire += file.mid(at, 512) + QByteArray(1, '\0');
    return wire;
}

DeviceOptions options(const QString &switches)
{
    auto o = DeviceOptions::parse(switches);
    o->stepIntervalMs = 1;
    return *o;
}

} // namespace

class TestSerialSim : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_bank = std::make_unique<SimBank>(m_dir->path());
        m_link = std::make_unique<QSerialPortLink>();
        m_reader = std::make_unique<Reader>(m_link.get());
    }
    void cleanup()
    {
        m_reader.reset();
        m_link.reset();
        m_bank.reset();
        m_dir.reset();
    }

    void greetingOnEveryOpen_data()
    {
        QTest::addColumn<PtyProgrammer::OpenDetection>("detection");
        QTest::newRow("inotify") << PtyProgrammer::OpenDetection::Inotify;
        QTest::newRow("poll") << PtyProgrammer::OpenDetection::Poll;
    }
    void greetingOnEveryOpen()
    {
        QFETCH(PtyProgrammer::OpenDetection, detection);
        QString error;
        const auto owned =
            PtyProgrammer::create(m_dir->filePath(QStringLiteral("COM3")),
                                  options(QStringLiteral("version=0107")), &error, detection);
        PtyProgrammer *p = owned.get();
        QVERIFY2(p, qPrintable(error));
        QCOMPARE(p->linkPath(), m_dir->filePath(QStringLiteral("COM3")));
        QVERIFY(QFileInfo(p->linkPath()).isSymLink());
        QVERIFY(!p->isPortOpen());

        const QByteArray greeting = SimDevice::greeting(p->device()->options());
        QCOMPARE(greeting.mid(16, 4), QByteArray("0107"));
        QSignalSpy ready(m_link.get(), &SerialLink::readyRead);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(m_link->open(p->linkPath()), SerialLink::OpenResult::Opened);
        while (m_reader->all.size() < greeting.size() && ready.wait(2000)) {
        }
        QCOMPARE(m_reader->all, greeting);
        // The search gives a port one 100 ms tick; report a slow greeting, do not time it.
        if (clock.elapsed() > 50)
            qWarning("greeting took %lld ms", clock.elapsed());
        QVERIFY(p->isPortOpen());

        // The search closes the port; the load opens it again later and must be greeted again.
        m_link->close();
        QTRY_VERIFY(!p->isPortOpen());
        QCOMPARE(m_link->open(p->linkPath()), SerialLink::OpenResult::Opened);
        QTRY_COMPARE(m_reader->all, greeting + greeting);
        QCOMPARE(p->device()->openCount(), 2);
    }

    void nothingStaleAfterReopen_data() { greetingOnEveryOpen_data(); }
    void nothingStaleAfterReopen()
    {
        // A session that never read its greeting, and left half a frame behind.
        QFETCH(PtyProgrammer::OpenDetection, detection);
        const auto owned =
            PtyProgrammer::create(m_dir->filePath(QStringLiteral("COM3")), {}, nullptr, detection);
        PtyProgrammer *p = owned.get();
        QVERIFY(p);
        const int fd = ::open(QFile::encodeName(p->linkPath()).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        QTRY_COMPARE(p->device()->sentReplies().size(), 1);
        QCOMPARE(::write(fd, "APL\0\0", 5), ssize_t(5));
        ::close(fd);
        QTRY_VERIFY(!p->isPortOpen());

        QSignalSpy ready(m_link.get(), &SerialLink::readyRead);
        QCOMPARE(m_link->open(p->linkPath()), SerialLink::OpenResult::Opened);
        QTRY_COMPARE(m_reader->all, SimDevice::reply("AUSBR", 0, 0, "0106"));
        QVERIFY(!ready.wait(50));
        QCOMPARE(m_reader->all.size(), 24);
        // The old half frame is gone: a whole frame now is answered at once.
        QVERIFY(m_link->write(CommandFrame::load(false, CommandFrame::SizeFields::fromLength(10))));
        QTRY_COMPARE(m_reader->all.size(), 3 * 24);
        QCOMPARE(m_reader->all.mid(24, 5), QByteArray("ASEND"));
    }

    void loadHandshakeAndBlocks()
    {
        PtyProgrammer *p = m_bank->add(4);
        QVERIFY(p);
        QCOMPARE(m_link->open(p->linkPath()), SerialLink::OpenResult::Opened);
        QTRY_COMPARE(m_reader->all.size(), 24);
        m_reader->all.clear();

        const QByteArray file = fileOf(5 * 512 + 300);
        const QByteArray frame =
            CommandFrame::load(false, CommandFrame::SizeFields::fromLength(quint32(file.size())));
        // The app writes the frame one byte at a time.
        for (char c : frame)
            QVERIFY(m_link->write(QByteArray(1, c)));
        QTRY_COMPARE(m_reader->all, SimDevice::reply("ASEND"));
        // Repeated while another programmer is not ready yet: answered again.
        QVERIFY(m_link->write(frame));
        QTRY_COMPARE(m_reader->all, SimDevice::reply("ASEND") + SimDevice::reply("ASEND"));

        const QByteArray wire = blocksOf(file);
        for (int at = 0; at < wire.size(); at += 513)
            QVERIFY(m_link->write(wire.mid(at, 513)));
        QTRY_COMPARE(m_reader->all.right(24), SimDevice::reply("ALPOK"));
        QCOMPARE(p->device()->image(), file.left(5 * 512));
        QCOMPARE(p->device()->fillers(), QByteArray(5, '\0'));
        QCOMPARE(p->device()->frames(), (QList<QByteArray>{frame, frame}));
    }

    void splitRepliesArriveInPieces()
    {
        PtyProgrammer *p = m_bank->add(5, options(QStringLiteral("split")));
        QVERIFY(p);
        QCOMPARE(m_link->open(p->linkPath()), SerialLink::OpenResult::Opened);
        const QByteArray greeting = SimDevice::greeting(p->device()->options());
        QTRY_COMPARE(m_reader->all, greeting);
        QVERIFY2(m_reader->reads.size() > 4,
                 qPrintable(QStringLiteral("%1 reads").arg(m_reader->reads.size())));
    }

    void doubleRepliesArriveGlued()
    {
        PtyProgrammer *p = m_bank->add(6, options(QStringLiteral("double,prog=2,verify=0")));
        QVERIFY(p);
        QCOMPARE(m_link->open(p->linkPath()), SerialLink::OpenResult::Opened);
        QTRY_COMPARE(m_reader->all.size(), 24);
        m_reader->reads.clear();
        m_reader->all.clear();
        QVERIFY(m_link->write(CommandFrame::programTarget({})));
        QTRY_COMPARE(m_reader->all.size(), 3 * 24);
        QCOMPARE(m_reader->reads.first().size(), 48); // two progress replies in one read
        QCOMPARE(m_reader->all.right(24), SimDevice::reply("APTOK"));
    }

    void stallLeavesBytesWithTheApp()
    {
        PtyProgrammer *p = m_bank->add(7, options(QStringLiteral("stall=1000")));
        QVERIFY(p);
        QCOMPARE(m_link->open(p->linkPath()), SerialLink::OpenResult::Opened);
        QSignalSpy written(m_link.get(), &SerialLink::bytesWritten);
        QVERIFY(m_link->write(QByteArray(1 << 20, '\x55')));
        QTRY_COMPARE(p->device()->receivedBytes(), qint64(1000));
        // The kernel's buffer fills and the rest stays queued at the app: a stuck programmer.
        for (int i = 0; i < 50 && written.wait(100); ++i) {
        }
        const qint64 pending = m_link->bytesToWrite();
        QVERIFY(pending > 0);
        QVERIFY(!written.wait(100));
        QCOMPARE(m_link->bytesToWrite(), pending);
        QCOMPARE(p->device()->receivedBytes(), qint64(1000));
        QVERIFY(m_link->isOpen());
        QVERIFY(p->isPlugged());
    }

    void rateLimitTakesBytesGradually()
    {
        PtyProgrammer *p = m_bank->add(8, options(QStringLiteral("rate=20000")));
        QVERIFY(p);
        QCOMPARE(m_link->open(p->linkPath()), SerialLink::OpenResult::Opened);
        const int total = 4000; // 200 ms at this rate
        QVERIFY(m_link->write(QByteArray(total, '\x55')));
        QTRY_VERIFY(p->device()->receivedBytes() > 0);
        QVERIFY(p->device()->receivedBytes() < total);
        QTRY_COMPARE_WITH_TIMEOUT(p->device()->receivedBytes(), qint64(total), 5000);
    }

    void unplugReportedOnce_data()
    {
        QTest::addColumn<QString>("switches");
        QTest::addColumn<int>("bytesToSend"); // 0: unplug() called by the test
        QTest::newRow("unplug()") << QString() << 0;
        QTest::newRow("unplug after 600 bytes") << QStringLiteral("unplug=600") << 2000;
    }
    void unplugReportedOnce()
    {
        QFETCH(QString, switches);
        QFETCH(int, bytesToSend);
        PtyProgrammer *p = m_bank->add(9, options(switches));
        QVERIFY(p);
        QSignalSpy unplugged(p, &PtyProgrammer::unplugged);
        QSignalSpy lost(m_link.get(), &SerialLink::deviceLost);
        QCOMPARE(m_link->open(p->linkPath()), SerialLink::OpenResult::Opened);
        QTRY_COMPARE(m_reader->all.size(), 24);

        if (bytesToSend == 0)
            p->unplug();
        else
            QVERIFY(m_link->write(QByteArray(bytesToSend, '\x01')));
        QTRY_COMPARE(unplugged.size(), 1);
        QTRY_COMPARE(lost.size(), 1);
        QVERIFY(!m_link->isOpen());
        QVERIFY(!QFileInfo::exists(p->linkPath()) && !QFileInfo(p->linkPath()).isSymLink());
        if (bytesToSend)
            QCOMPARE(p->device()->receivedBytes(), qint64(600));
        // No second report, no flood of errors keeping the loop busy.
        QVERIFY(!lost.wait(200));
        QCOMPARE(m_link->open(p->linkPath()), SerialLink::OpenResult::InvalidPort);
    }

    void bankRemovesItsLinks()
    {
        QVERIFY(m_bank->add(1));
        QVERIFY(m_bank->add(2, options(QStringLiteral("noready"))));
        QVERIFY(!m_bank->add(2)); // taken
        QVERIFY(!m_bank->add(16));
        QCOMPARE(m_bank->comPorts(), (QList<int>{1, 2}));
        QCOMPARE(m_bank->programmer(2)->device()->options().neverReady, true);
        QVERIFY(!m_bank->programmer(3));
        m_bank.reset();
        QCOMPARE(
            QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
            QStringList());
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SimBank> m_bank;
    std::unique_ptr<QSerialPortLink> m_link;
    std::unique_ptr<Reader> m_reader;
};

QTEST_GUILESS_MAIN(TestSerialSim)
#include "tst_serialsim.moc"
