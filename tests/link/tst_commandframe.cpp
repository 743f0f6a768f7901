// Guards the 24-byte command frame: layout on the wire, size fields and checksum.
#include "link/commandframe.h"

#include <QtTest>

using vell::link::CommandFrame;

class TstCommandFrame : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void frames_data();
    void frames();
};

void TstCommandFrame::frames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("expected");

    const auto size = [](quint32 length) { return CommandFrame::SizeFields::fromLength(length); };
    const auto hex = [](const char *text) { return QByteArray::fromHex(text); };
    const QByteArray zeros(15, '\0');
    QTest::newRow("program-target, no file loaded")
        << CommandFrame::programTarget({}) << hex("41 50 54") + zeros + hex("00 00 00  00 F2  0D");
    QTest::newRow("program-target after a 74,565-byte file")
        << CommandFrame::programTarget(size(74565))
        << hex("41 50 54") + zeros + hex("01 23 45  01 5B  0D");
    QTest::newRow("load 32,768 bytes") << CommandFrame::load(false, size(32768))
                                       << hex("41 50 4C") + zeros + hex("00 80 00  01 6A  0D");
    QTest::newRow("load 32,768 bytes, restore defaults")
        << CommandFrame::load(true, size(32768))
        << hex("41 50 4C 01") + zeros.left(14) + hex("00 80 00  01 6B  0D");
    // One past the largest length keeps the low 24 bits.
    QTest::newRow("load 16,777,216 bytes") << CommandFrame::load(false, size(16777216))
                                           << hex("41 50 4C") + zeros + hex("00 00 00  00 EA  0D");
    CommandFrame::Params params{};
    for (int i = 0; i < CommandFrame::kParamCount; ++i)
        params[size_t(i)] = quint8(i + 1);
    // 229 + (1 + ... + 15 = 120) + 0xFF * 3 = 1114 = 0x045A, plus 13 = 0x0467.
    QTest::newRow("every parameter and size byte used")
        << CommandFrame::encode('T', params, size(0xFFFFFF))
        << hex("41 50 54 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F  FF FF FF  04 67  0D");
}

void TstCommandFrame::frames()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, expected);
    QCOMPARE(expected.size(), CommandFrame::kSize);
    QCOMPARE(frame.toHex(' '), expected.toHex(' '));
}

QTEST_GUILESS_MAIN(TstCommandFrame)
#include "tst_commandframe.moc"
