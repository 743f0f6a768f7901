// Guards the program file reader: measuring, refusals, size fields, black-box trailer and checksum.
#include "common/files.h"
#include "load/configfile.h"
#include "load/programfile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using vell::load::ConfigFile;
using vell::load::ProgramFile;

namespace {

using vell::test::pattern;

/// Writes dir/name and returns its path (empty when it could not be written).
QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir.filePath(name);
    return vell::test::writeFile(path, bytes) ? path : QString();
}

ConfigFile trailerOneTo32()
{
    QByteArray text = "line 1\r\nline 2\r\n";
    for (int v = 1; v <= 32; ++v)
        text += QByteArray::number(v) + "\r\n";
    ConfigFile config;
    config.readText(text);
    return config;
}

QByteArray readAllBytes(ProgramFile &file)
{
    QByteArray out;
    while (!file.atEnd()) {
        const std::optional<quint8> b = file.nextByte();
        if (!b)
            break;
        out += char(*b);
    }
    return out;
}

quint16 referenceChecksum(const QByteArray &sent)
{
    quint32 sum = 0;
    const int length = int(sent.size());
    for (int i = 0; i < length; ++i) {
        if (i == length - 32 || i == length - 31)
            continue;
        sum += quint8(sent[i]);
    }
    return quint16(sum);
}

} // namespace

class TstProgramFile : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pathAndMeasure()
    {
        QTemporaryDir dir;
        const QString path = writeFile(dir, "image.bin", pattern(74565));
        QCOMPARE(ProgramFile::pathIn(dir.path(), "image.bin"), path);
        QCOMPARE(ProgramFile::pathIn(dir.path() + '/', "image.bin"), path);
        ProgramFile file;
        QCOMPARE(file.measure(path), ProgramFile::Refusal::None);
        QCOMPARE(file.length(), 74565);
        const auto size = file.sizeFields();
        QCOMPARE(int(size.high), 0x01);
        QCOMPARE(int(size.mid), 0x23);
        QCOMPARE(int(size.low), 0x45);
        QVERIFY(!file.isOpen()); // measuring leaves nothing open

        // The largest file the size fields can carry is accepted.
        QFile big(dir.filePath("big.bin"));
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(ProgramFile::kLengthLimit - 1)); // sparse
        big.close();
        QCOMPARE(file.measure(big.fileName()), ProgramFile::Refusal::None);
        QCOMPARE(file.sizeFields().length(), 0xFFFFFFu);
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("refusal");
        QTest::newRow("missing") << "missing" << int(ProgramFile::Refusal::NotFound);
        QTest::newRow("folder") << "folder" << int(ProgramFile::Refusal::NotAFile);
        QTest::newRow("16 MiB") << "16MiB" << int(ProgramFile::Refusal::TooLarge);
    }

    void refusals()
    {
        QFETCH(QString, kind);
        QFETCH(int, refusal);
        QTemporaryDir dir;
        QString path = dir.filePath("image.bin");
        if (kind == "folder") {
            QVERIFY(QDir(dir.path()).mkdir("image.bin"));
        } else if (kind == "16MiB") {
            QFile big(path);
            QVERIFY(big.open(QIODevice::WriteOnly));
            QVERIFY(big.resize(ProgramFile::kLengthLimit)); // sparse
        }
        ProgramFile file;
        QString reason;
        QCOMPARE(int(file.measure(path, &reason)), refusal);
        QVERIFY(reason.contains(QDir::toNativeSeparators(path)));
        QCOMPARE(file.length(), 0);
    }

    void trailer_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("blackBox");
        QTest::newRow("plain 1,000") << 1000 << false;
        QTest::newRow("black box 1,000") << 1000 << true;
        QTest::newRow("black box 32") << 32 << true;
        QTest::newRow("black box 10") << 10 << true;
        QTest::newRow("black box 1") << 1 << true;
        QTest::newRow("plain across read buffers") << 200000 << false;
        QTest::newRow("black box across read buffers") << 200000 << true;
    }

    // The last 32 bytes come from lines 3..34 in the black-box format; a shorter file takes
    // the last lines (10 bytes: lines 25..34). Block reads and byte reads agree.
    void trailer()
    {
        QFETCH(int, length);
        QFETCH(bool, blackBox);
        QTemporaryDir dir;
        const QByteArray content = pattern(length);
        const QString path = writeFile(dir, "image.bin", content);
        const ConfigFile config = trailerOneTo32();

        QByteArray expected = content;
        if (blackBox) {
            for (int i = std::max(0, length - 32); i < length; ++i)
                expected[i] = char(32 - (length - 1 - i)); // last byte 32
        }

        ProgramFile byBytes;
        QVERIFY(byBytes.openStream(path));
        byBytes.setTrailerSource(&config, [blackBox] { return blackBox; });
        QCOMPARE(readAllBytes(byBytes), expected);
        QCOMPARE(byBytes.position(), length);
        QCOMPARE(byBytes.checksum(), referenceChecksum(expected));

        ProgramFile byBlocks;
        QVERIFY(byBlocks.openStream(path));
        byBlocks.setTrailerSource(&config, [blackBox] { return blackBox; });
        QByteArray blocks(length, '\0');
        int done = 0;
        while (done < length) {
            const int chunk = std::min(513, length - done); // odd size: runs cross the trailer
            QVERIFY(byBlocks.readBytes(blocks.data() + done, chunk));
            done += chunk;
        }
        QCOMPARE(blocks, expected);
        QCOMPARE(byBlocks.checksum(), byBytes.checksum());
        QVERIFY(!byBlocks.readBytes(blocks.data(), 1));
    }

    // The choice is read afresh for each trailer byte: ticked half-way, only later bytes change.
    void blackBoxChosenDuringStream()
    {
        QTemporaryDir dir;
        const QByteArray content(64, char(0xAA));
        const QString path = writeFile(dir, "image.bin", content);
        const ConfigFile config = trailerOneTo32();
        ProgramFile file;
        QVERIFY(file.openStream(path));
        bool chosen = false;
        file.setTrailerSource(&config, [&chosen] { return chosen; });
        QByteArray sent;
        for (int i = 0; i < 48; ++i)
            sent += char(*file.nextByte());
        chosen = true;
        sent += readAllBytes(file);
        QCOMPARE(sent.left(48), content.left(48));
        QCOMPARE(int(quint8(sent[48])), 17); // offset L-16 is trailer position 17
        QCOMPARE(int(quint8(sent[63])), 32);
    }

    // A trailer value that is not a byte stops the stream before that byte.
    void failingTrailerValueStops()
    {
        QTemporaryDir dir;
        const QString path = writeFile(dir, "image.bin", pattern(100));
        QByteArray text = "1\r\n2\r\n";
        for (int k = 1; k <= 32; ++k)
            text += (k == 5 ? QByteArray("255.5") : QByteArray::number(k)) + "\r\n";
        ConfigFile config;
        config.readText(text);
        ProgramFile file;
        QVERIFY(file.openStream(path));
        file.setTrailerSource(&config, [] { return true; });
        const QByteArray sent = readAllBytes(file);
        QCOMPARE(sent.size(), 100 - 32 + 4);
        QCOMPARE(file.position(), 72);
        QVERIFY(!file.nextByte().has_value());

        ProgramFile blocks;
        QVERIFY(blocks.openStream(path));
        blocks.setTrailerSource(&config, [] { return true; });
        QByteArray out(100, '\0');
        QVERIFY(!blocks.readBytes(out.data(), 100));
    }

    void checksumTexts_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("sum");
        QTest::addColumn<QString>("high");
        QTest::addColumn<QString>("low");
        // Files of 40 bytes: offsets 8 and 9 (L-32, L-31) are left out.
        QByteArray small(40, '\0');
        small[0] = char(0x0A);
        small[8] = char(0xFF);
        QTest::newRow("low byte keeps two digits") << small << "0xA"
                                                   << "0x0"
                                                   << "0x0A";
        QByteArray wraps(300, char(0xFF)); // 298 x 255 = 75990 -> 10454 = 0x28D6
        QTest::newRow("wraps at 65536") << wraps << "0x28D6"
                                        << "0x28"
                                        << "0xD6";
    }

    void checksumTexts()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        ProgramFile file;
        QVERIFY(file.openStream(writeFile(dir, "image.bin", content)));
        readAllBytes(file);
        QTEST(file.checksumText(), "sum");
        QTEST(file.checksumHighText(), "high");
        QTEST(file.checksumLowText(), "low");
    }

    // Released under the stream (ALPOK): the next read fails.
    void releaseEndsStream()
    {
        QTemporaryDir dir;
        ProgramFile file;
        QVERIFY(file.openStream(writeFile(dir, "image.bin", pattern(2048))));
        QByteArray block(512, '\0');
        QVERIFY(file.readBytes(block.data(), 512));
        file.release();
        QVERIFY(!file.isOpen());
        QVERIFY(!file.readBytes(block.data(), 512));
        QVERIFY(!file.nextByte().has_value());
    }
};

QTEST_GUILESS_MAIN(TstProgramFile)
#include "tst_programfile.moc"
