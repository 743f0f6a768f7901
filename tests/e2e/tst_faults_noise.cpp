// Guards the bench against what a line can pour in: a programmer flooding replies, replies
// in single bytes, and 10 MB of random bytes on one link; nothing lost, hung or hoarded.
#include "faultbench.h"
#include "noisyprogrammer.h"

#include "link/texts.h"

#include <QSignalSpy>
#include <QTimer>

using vell::load::FileTransfer;
using vell::sim::PtyProgrammer;
using vell::sim::SimDevice;
using vell::test::FaultBench;
using vell::test::fastDevice;
using vell::test::NoisyProgrammer;

namespace lt = vell::link::texts;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true; // its quarantine keeps freed memory: RSS says nothing then
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

class TestFaultsNoise : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Programmer 2 chatters "ADATA" replies without pause from the first frame on; every
    // programmer still loads and programs its board.
    void programmerFloodsReplies()
    {
        FaultBench fb;
        QList<PtyProgrammer *> sims;
        for (int com : {1, 2, 3, 4})
            sims << fb.add(com);
        PtyProgrammer *chatty = sims.at(1);
        QTimer flood;
        flood.setInterval(1);
        // Faster than the app reads, so its replies arrive amid the chatter in every read.
        const QByteArray burst = SimDevice::reply("ADATA").repeated(300);
        connect(&flood, &QTimer::timeout, chatty,
                [chatty, burst] { Q_EMIT chatty->device()->output(burst); });
        connect(chatty->device(), &SimDevice::frameReceived, &flood, [&flood] { flood.start(); });

        vell::app::Station &bench = fb.start({1, 2, 3, 4});
        QSignalSpy handled(&bench, &vell::app::Station::replyHandled);
        const QByteArray file = fb.writeProgramFile(QStringLiteral("image.bin"), 40 * 512);
        bench.loadProgramFile(QStringLiteral("image.bin"));
        for (int n = 1; n <= 4; ++n) {
            QTRY_COMPARE_WITH_TIMEOUT(fb.status(n), lt::kFileLoadedOk, 10000);
            QCOMPARE(sims.at(n - 1)->device()->image(), file);
        }
        bench.programTarget();
        for (int n = 1; n <= 4; ++n)
            QTRY_COMPARE_WITH_TIMEOUT(fb.status(n), lt::kBoardProgrammedOk, 10000);
        flood.stop();

        int data = 0;
        for (const QList<QVariant> &call : handled)
            data += call.at(0).toInt() == 2 && call.at(1).toByteArray() == "ADATA" ? 1 : 0;
        QVERIFY2(data > 1000, qPrintable(QString::number(data)));
        QVERIFY(fb.op.messages.isEmpty());
    }

    // Every reply of every programmer reaches the app one byte per read.
    void repliesSplitIntoSingleBytes()
    {
        FaultBench fb;
        QList<PtyProgrammer *> sims;
        for (int com : {11, 12, 13, 14})
            sims << fb.add(com, fastDevice(QStringLiteral("split,prog=1,verify=1")));
        vell::app::Station &bench = fb.start({11, 12, 13, 14});
        const QByteArray file = fb.writeProgramFile(QStringLiteral("image.bin"), 6 * 512);
        bench.loadProgramFile(QStringLiteral("image.bin"));
        for (int n = 1; n <= 4; ++n) {
            QTRY_COMPARE_WITH_TIMEOUT(fb.status(n), lt::kFileLoadedOk, 10000);
            QCOMPARE(sims.at(n - 1)->device()->image(), file);
        }
        bench.programTarget();
        for (int n = 1; n <= 4; ++n)
            QTRY_COMPARE_WITH_TIMEOUT(fb.status(n), lt::kBoardProgrammedOk, 10000);
        QCOMPARE(bench.panes().pane(1).barValue, bench.panes().pane(1).barMaximum);
        QVERIFY(fb.op.messages.isEmpty());
    }

    // 10 MB of random bytes on programmer 4's line during the stream: the stream still ends,
    // the others load and then program their boards, and the app does not hoard the noise.
    void tenMegabytesOfNoiseOnOneLink()
    {
        constexpr qint64 kNoise = 10'000'000;
        FaultBench fb;
        QList<PtyProgrammer *> sims;
        for (int com : {1, 2, 3})
            sims << fb.add(com);
        NoisyProgrammer noisy(QDir(fb.portDir()).filePath(QStringLiteral("COM9")));
        QVERIFY(noisy.isValid());
        vell::app::Station &bench = fb.start({1, 2, 3, 9});
        const QByteArray file = fb.writeProgramFile(QStringLiteral("image.bin"), 256 * 512);
        connect(bench.transfer(), &FileTransfer::streamStarted, &noisy,
                [&noisy] { noisy.startNoise(kNoise); });
        QSignalSpy finished(bench.transfer(), &FileTransfer::finished);

        const qint64 rssBefore = vell::test::procStatusKiB("VmRSS:");
        bench.loadProgramFile(QStringLiteral("image.bin"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
        QCOMPARE(finished.at(0).at(0).value<FileTransfer::Outcome>(), FileTransfer::Outcome::Loaded);
        for (int n = 1; n <= 3; ++n) {
            QTRY_COMPARE(fb.status(n), lt::kFileLoadedOk);
            QCOMPARE(sims.at(n - 1)->device()->image(), file);
        }
        QCOMPARE(noisy.device.image(), file); // its line still carried every block
        QTRY_COMPARE_WITH_TIMEOUT(noisy.noiseLeft(), qint64(0), 30000);
        QTRY_COMPARE(bench.links().link(4)->bytesAvailable(), qint64(0));

        if (!kSanitized) {
            const qint64 growth = vell::test::procStatusKiB("VmHWM:") - rssBefore;
            QVERIFY2(growth < 6 * 1024, qPrintable(QStringLiteral("peak grew %1 KiB").arg(growth)));
        }

        bench.programTarget();
        for (int n = 1; n <= 3; ++n)
            QTRY_COMPARE_WITH_TIMEOUT(fb.status(n), lt::kBoardProgrammedOk, 10000);
        QVERIFY(fb.op.messages.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFaultsNoise)
#include "tst_faults_noise.moc"
