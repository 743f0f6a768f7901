// Guards loads whose files misbehave: the program file deleted or cut short while the
// programmers get ready, and a black-box Config.txt that is binary garbage, has very long
// lines, holds a value that is no byte, or is missing. The operator is told; nothing hangs.
#include "faultbench.h"

#include "app/texts.h"
#include "link/texts.h"
#include "load/texts.h"

#include <QSignalSpy>

using vell::load::FileTransfer;
using vell::sim::PtyProgrammer;
using vell::sim::SimDevice;
using vell::test::FaultBench;

namespace lt = vell::link::texts;
namespace ldt = vell::load::texts;

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

/// Config.txt whose lines 3..34 hold 1..32, each written as the number, then junk that ends
/// the number: NUL, control and high bytes; line ends of all three kinds.
QByteArray garbageConfig()
{
    QByteArray text("first\r\x01\xfe\x00junk\r\n", 15);
    for (int k = 1; k <= 32; ++k) {
        text += QByteArray::number(k);
        text += QByteArray("\x00\xff\x1b\x7f\x80", 5) + char(k * 37) + "zz";
        text += k % 3 == 0 ? "\r" : k % 3 == 1 ? "\n" : "\r\n";
    }
    return text + QByteArray("\x00\x00 trailing garbage \xff", 21);
}

/// Config.txt with a 500,000-byte second line and lines 3..34 padded with 10,000 blanks.
QByteArray longLineConfig()
{
    QByteArray text = "first\r\n" + QByteArray(500'000, 'x') + "\r\n";
    for (int k = 1; k <= 32; ++k)
        text += QByteArray(10'000, ' ') + QByteArray::number(k) + "\r\n";
    return text;
}

QByteArray oneToThirtyTwo()
{
    QByteArray b;
    for (int k = 1; k <= 32; ++k)
        b += char(k);
    return b;
}

} // namespace

class TestFaultsFiles : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The file changes after the load frame announced its length, before the first block.
    void programFileChangesDuringHandshake_data()
    {
        QTest::addColumn<bool>("deleted");
        QTest::addColumn<QString>("told");
        QTest::newRow("deleted") << true << ldt::kProgramFileNotFound;
        QTest::newRow("truncated") << false << ldt::kProgramFileChanged;
    }
    void programFileChangesDuringHandshake()
    {
        QFETCH(bool, deleted);
        QFETCH(QString, told);
        FaultBench fb;
        QList<PtyProgrammer *> sims;
        for (int com : {1, 2, 3})
            sims << fb.add(com);
        vell::app::Station &bench = fb.start({1, 2, 3});
        const QByteArray file = fb.writeProgramFile(QStringLiteral("image.bin"), 8 * 512);
        const QString path = QDir(fb.fileDir()).filePath(QStringLiteral("image.bin"));
        bool changed = false;
        connect(sims.at(0)->device(), &SimDevice::frameReceived, this, [&] {
            if (changed)
                return;
            changed = true;
            if (deleted)
                QFile::remove(path);
            else
                QFile::resize(path, 3 * 512);
        });
        QSignalSpy finished(bench.transfer(), &FileTransfer::finished);

        bench.loadProgramFile(QStringLiteral("image.bin"));
        QTRY_COMPARE(finished.size(), 1);
        QVERIFY(changed);
        QCOMPARE(finished.at(0).at(0).value<FileTransfer::Outcome>(),
                 FileTransfer::Outcome::StreamFailed);
        QCOMPARE(fb.op.messages.size(), 1);
        QCOMPARE(fb.op.messages.at(0).first, told + u'\n' + QDir::toNativeSeparators(path));
        QCOMPARE(fb.op.messages.at(0).second, vell::link::texts::kVellProgrammer);
        for (PtyProgrammer *p : sims) {
            QCOMPARE(p->device()->image(), QByteArray()); // not one block of a changed file
            QCOMPARE(p->device()->receivedBytes() % 24, 0);
        }
        QVERIFY(!bench.busy());
        QVERIFY(!bench.watchdog().isArmed());

        // The file back as it was: the next double-click loads it.
        QVERIFY(writeFile(path, file));
        bench.loadProgramFile(QStringLiteral("image.bin"));
        for (int n = 1; n <= 3; ++n)
            QTRY_COMPARE(fb.status(n), lt::kFileLoadedOk);
        QCOMPARE(sims.at(2)->device()->image(), file);
    }

    void blackBoxConfig_data()
    {
        QTest::addColumn<bool>("present");
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QByteArray>("trailer");

        QTest::newRow("binary garbage") << true << garbageConfig() << oneToThirtyTwo();
        QTest::newRow("very long lines") << true << longLineConfig() << oneToThirtyTwo();
        QTest::newRow("missing") << false << QByteArray() << QByteArray(32, '\0');
        QTest::newRow("empty") << true << QByteArray() << QByteArray(32, '\0');
    }
    void blackBoxConfig()
    {
        QFETCH(bool, present);
        QFETCH(QByteArray, config);
        QFETCH(QByteArray, trailer);
        FaultBench fb;
        PtyProgrammer *one = fb.add(3);
        PtyProgrammer *two = fb.add(4);
        vell::app::Station &bench = fb.start({3, 4});
        bench.setBlackBox(true);
        const QByteArray file = fb.writeProgramFile(QStringLiteral("old.bin"), 4 * 512);
        if (present)
            QVERIFY(writeFile(QDir(fb.fileDir()).filePath(QStringLiteral("Config.txt")), config));

        bench.loadProgramFile(QStringLiteral("old.bin"));
        QTRY_COMPARE(fb.status(1), lt::kFileLoadedOk);
        QTRY_COMPARE(fb.status(2), lt::kFileLoadedOk);
        const QByteArray expected = file.left(file.size() - 32) + trailer;
        QCOMPARE(one->device()->image(), expected);
        QCOMPARE(two->device()->image(), expected);
        QVERIFY(fb.op.messages.isEmpty());
    }

    // Line 20 holds 256: the stream stops before that byte, without half a block, and the
    // operator is told which line.
    void blackBoxValueThatIsNoByte()
    {
        FaultBench fb;
        PtyProgrammer *p = fb.add(7);
        vell::app::Station &bench = fb.start({7});
        bench.setBlackBox(true);
        const QByteArray file = fb.writeProgramFile(QStringLiteral("old.bin"), 4 * 512);
        QByteArray config = "header\r\nnot used\r\n";
        for (int line = 3; line <= 34; ++line)
            config += (line == 20 ? QByteArray("256") : QByteArray::number(line)) + "\r\n";
        QVERIFY(writeFile(QDir(fb.fileDir()).filePath(QStringLiteral("Config.txt")), config));
        QSignalSpy finished(bench.transfer(), &FileTransfer::finished);

        bench.loadProgramFile(QStringLiteral("old.bin"));
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(finished.at(0).at(0).value<FileTransfer::Outcome>(),
                 FileTransfer::Outcome::StreamFailed);
        QCOMPARE(fb.op.messages.size(), 1);
        QCOMPARE(fb.op.messages.at(0).first.section(u'\n', 0, 0), ldt::configLineNotAByte(20));
        QVERIFY(fb.op.messages.at(0).first.endsWith(QStringLiteral("Config.txt")));
        QCOMPARE(fb.op.messages.at(0).second, vell::link::texts::kVellProgrammer);
        QTRY_COMPARE(p->device()->image(), file.left(3 * 512));
        QCOMPARE((p->device()->receivedBytes() - 3 * 513) % 24, 0); // frames and whole blocks
        QVERIFY(fb.status(1) != lt::kFileLoadedOk);
        QVERIFY(!bench.busy());
    }
};

QTEST_GUILESS_MAIN(TestFaultsFiles)
#include "tst_faults_files.moc"
