// Guards the 24-byte command frame: layout on the wire, size fields and checksum.
#include "link/commandframe.h"

#include <QtTest>

using vell::link::CommandFrame;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text));
}

const char *const kFifteenZeros = "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";

} // namespace

class TstCommandFrame : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void frames_data();
    void frames();
    void sizeFields_data();
    void sizeFields();
    void checksumIsSumOfAllButChecksumBytes_data();
    void checksumIsSumOfAllButChecksumBytes();
};

void TstCommandFrame::frames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("program-target, no file loaded")
        << CommandFrame::programTarget({})
        << hex("41 50 54") + hex(kFifteenZeros) + hex("00 00 00  00 F2  0D");
    QTest::newRow("program-target after a 74,565-byte file")
        << CommandFrame::programTarget(CommandFrame::SizeFields::fromLength(74565))
        << hex("41 50 54") + hex(kFifteenZeros) + hex("01 23 45  01 5B  0D");
    QTest::newRow("load 32,768 bytes")
        << CommandFrame::load(false, CommandFrame::SizeFields::fromLength(32768))
        << hex("41 50 4C") + hex(kFifteenZeros) + hex("00 80 00  01 6A  0D");
    QTest::newRow("load 32,768 bytes, restore defaults")
        << CommandFrame::load(true, CommandFrame::SizeFields::fromLength(32768))
        << hex("41 50 4C 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00") +
               hex("00 80 00  01 6B  0D");
    CommandFrame::Params params{};
    for (int i = 0; i < CommandFrame::kParamCount; ++i)
        params[size_t(i)] = quint8(i + 1);
    // 229 + (1 + ... + 15 = 120) + 0xFF * 3 = 1114 = 0x045A, plus 13 = 0x0467.
    QTest::newRow("every parameter and size byte used")
        << CommandFrame::encode('T', params, CommandFrame::SizeFields::fromLength(0xFFFFFF))
        << hex("41 50 54 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F  FF FF FF  04 67  0D");
}

void TstCommandFrame::frames()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, expected);
    QCOMPARE(expected.size(), CommandFrame::kSize);
    QCOMPARE(frame.toHex(' '), expected.toHex(' '));
}

void TstCommandFrame::sizeFields_data()
{
    QTest::addColumn<quint32>("length");
    QTest::addColumn<int>("high");
    QTest::addColumn<int>("mid");
    QTest::addColumn<int>("low");

    QTest::newRow("none") << 0u << 0 << 0 << 0;
    QTest::newRow("74,565") << 74565u << 0x01 << 0x23 << 0x45;
    QTest::newRow("largest that fits") << 16777215u << 0xFF << 0xFF << 0xFF;
    QTest::newRow("one past keeps the low 24 bits") << 16777216u << 0 << 0 << 0;
}

void TstCommandFrame::sizeFields()
{
    QFETCH(quint32, length);
    QFETCH(int, high);
    QFETCH(int, mid);
    QFETCH(int, low);
    const auto size = CommandFrame::SizeFields::fromLength(length);
    QCOMPARE(int(size.high), high);
    QCOMPARE(int(size.mid), mid);
    QCOMPARE(int(size.low), low);
    QCOMPARE(size.length(), length & 0xFFFFFFu);
}

void TstCommandFrame::checksumIsSumOfAllButChecksumBytes_data()
{
    QTest::addColumn<char>("letter");
    QTest::addColumn<quint8>("fill");
    QTest::addColumn<quint32>("length");

    QTest::newRow("T, zeros") << 'T' << quint8(0) << 0u;
    QTest::newRow("L, 0x80 params") << 'L' << quint8(0x80) << 1234567u;
    QTest::newRow("L, 0xFF everywhere") << 'L' << quint8(0xFF) << 0xFFFFFFu;
}

void TstCommandFrame::checksumIsSumOfAllButChecksumBytes()
{
    QFETCH(char, letter);
    QFETCH(quint8, fill);
    QFETCH(quint32, length);
    CommandFrame::Params params;
    params.fill(fill);
    const auto size = CommandFrame::SizeFields::fromLength(length);
    const QByteArray frame = CommandFrame::encode(letter, params, size);

    // Byte 23 (the carriage return, 13) counts although it follows the checksum bytes.
    quint32 sum = 0;
    for (int i = 0; i < CommandFrame::kSize; ++i) {
        if (i != 21 && i != 22)
            sum += quint8(frame.at(i));
    }
    const quint16 expected = quint16(sum & 0xFFFF);
    QCOMPARE(CommandFrame::checksum(letter, params, size), expected);
    QCOMPARE(int(quint8(frame.at(21))), expected >> 8);
    QCOMPARE(int(quint8(frame.at(22))), expected & 0xFF);
    QCOMPARE(frame.at(23), '\r');
}

QTEST_GUILESS_MAIN(TstCommandFrame)
#include "tst_commandframe.moc"
