#pragma once

#include <QString>

// What the programmer simulator prints, defined once.
namespace vell::sim::texts {

inline const QString kHelp = QStringLiteral(
    "Usage: vell-programmer-sim --ports DIR [--record DIR] COMn[:SWITCHES] ...\n"
    "\n"
    "Simulates USB programmers on pseudo-terminals. Each COMn argument makes one\n"
    "programmer and the link DIR/COMn to its device, which the bench tool opens with\n"
    "--ports DIR. Runs until SIGTERM or SIGINT, then removes its links.\n"
    "\n"
    "Options:\n"
    "  --ports DIR      where the COMn links are made (created when missing)\n"
    "  --record DIR     write what each programmer received as DIR/COMn.bin after\n"
    "                   every completed load (the file bytes, fillers removed), and\n"
    "                   append to DIR/COMn.log a line per frame received (frame L)\n"
    "                   and per completed load (load 2560 bytes ok)\n"
    "  --help           this text\n"
    "\n"
    "SWITCHES, comma-separated, none for a well-behaved programmer:\n"
    "  silent           sends nothing at all\n"
    "  text             not a programmer: greets with 34 bytes of other text\n"
    "  short            a greeting of 23 bytes only\n"
    "  noready          never answers a load frame with ASEND\n"
    "  loaderr=N        answers the load with ALPER, error code N (1..255)\n"
    "  firstloaderr=N   answers its first load only with ALPER N, later ones as asked\n"
    "  targeterr=N      answers target programming with APTER, error code N (1..255)\n"
    "  unplug=N         vanishes (device and link) after receiving N bytes\n"
    "  stall=N          stops reading after receiving N bytes; the link stays\n"
    "  rate=N           reads at most N bytes/s (11520 is a real 115200 baud wire)\n"
    "  split            sends every reply one byte per write\n"
    "  double           glues replies two to a write: progress replies in pairs,\n"
    "                   ASEND with ALPOK for a file under 512 bytes\n"
    "  version=XXXX     the 4-character software version in the greeting (0106)\n"
    "  prog=N           APROG progress replies per target programming (8)\n"
    "  verify=N         AVERI progress replies per target programming (8)\n"
    "  interval=MS      pause before each progress or result reply (20)\n"
    "\n"
    "Examples:\n"
    "  vell-programmer-sim --ports /tmp/vell COM3\n"
    "  vell-programmer-sim --ports /tmp/vell COM3 COM7:noready COM4:loaderr=3,split\n"
    "  vell-programmer-sim --ports /tmp/vell COM2:silent COM5:unplug=5000 COM6:stall=8192\n"
    "  vell-programmer-sim --ports /tmp/vell COM2:text COM8:short COM9:targeterr=10\n"
    "  vell-programmer-sim --ports /tmp/vell COM3:rate=11520,double,version=0107\n"
    "\n"
    "Replies are 24 bytes: token at 0..4, count byte at 12, version at 16..19, error\n"
    "code at 20, every other byte 0x00. A command frame with a wrong checksum or\n"
    "without its closing carriage return is ignored (the bench tool repeats the load\n"
    "frame every second).\n");

inline const QString kUsageHint = QStringLiteral("Try 'vell-programmer-sim --help'.");
inline const QString kNoPortsDir = QStringLiteral("--ports DIR is required");
inline const QString kNoProgrammers = QStringLiteral("name at least one programmer, e.g. COM3");
inline const QString kBadPortName = QStringLiteral("'%1' is not a port name COM1..COM15");
inline const QString kDuplicatePort = QStringLiteral("COM%1 is named twice");
inline const QString kUnknownOption = QStringLiteral("unknown option '%1'");
inline const QString kMissingValue = QStringLiteral("%1 needs a value");
inline const QString kCannotCreateDir = QStringLiteral("cannot create folder %1");
inline const QString kProgrammerLine = QStringLiteral("COM%1 %2 -> %3%4");
inline const QString kRecordFailed = QStringLiteral("cannot write %1: %2");

// Switch errors of DeviceOptions::parse().
inline const QString kUnknownSwitch = QStringLiteral("unknown switch '%1'");
inline const QString kSwitchNeedsValue = QStringLiteral("switch '%1' needs a value, as in %1=%2");
inline const QString kSwitchTakesNoValue = QStringLiteral("switch '%1' takes no value");
inline const QString kSwitchBadNumber =
    QStringLiteral("switch '%1': '%2' is not a number from %3 to %4");
inline const QString kSwitchBadVersion =
    QStringLiteral("switch 'version': '%1' is not 4 printable ASCII characters");
inline const QString kSwitchKindTwice =
    QStringLiteral("switches 'silent', 'text' and 'short' exclude each other");

} // namespace vell::sim::texts
