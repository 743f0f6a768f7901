// Fuzzes the programmer search: the recogniser on arbitrary captured text, and the whole scan
// over an arbitrary table of ports and what each one sends. Checks the recogniser against its
// rule and the scan's result against the ports a programmer really sat on.
//
// Input layout: the whole input is first judged as one captured text. Then, for COM1..COM15 in
// turn, one byte: low two bits 0 = no device, 1 = busy, 2 = silent, 3 = sends (bits 2..3 + 1)
// chunks of [length byte][that many bytes], one receive event each. Missing bytes mean no device.
#include "discovery/programmersearch.h"
#include "discovery/scriptedports.h"
#include "link/portnames.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using vell::discovery::ProgrammerSearch;
using vell::test::PortScript;

[[noreturn]] void fail(const char *what, int detail)
{
    std::fprintf(stderr, "invariant broken: %s [%d]\n", what, detail);
    std::abort();
}

// The rule, written out independently of the search.
bool startsWithToken(const uint8_t *data, size_t size)
{
    static const char *const tokens[] = {"AUSBR", "ASEND", "ALPOK", "ALPER",
                                         "APTOK", "APTER", "ADATA"};
    if (size < 5)
        return false;
    for (const char *token : tokens) {
        if (std::memcmp(data, token, 5) == 0)
            return true;
    }
    return false;
}

// What the receive handler ends up holding for a device: the last batch of 24 or more bytes.
QByteArray lastCapture(const QList<QByteArray> &chunks)
{
    QByteArray waiting;
    QByteArray captured;
    for (const QByteArray &chunk : chunks) {
        waiting += chunk;
        if (waiting.size() >= ProgrammerSearch::kMessageLength) {
            captured = waiting;
            waiting.clear();
        }
    }
    return captured;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // Timers need an application object; port files need a folder of their own.
    static QCoreApplication app(*argc, *argv);
    static QTemporaryDir workDir;
    if (!workDir.isValid() || !QDir::setCurrent(workDir.path()))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView whole(reinterpret_cast<const char *>(data), qsizetype(size));
    if (ProgrammerSearch::isProgrammerReply(whole) != startsWithToken(data, size))
        fail("recogniser", int(size));

    QMap<int, PortScript> ports;
    QList<int> expected; // the COM numbers of the programmers, in order
    size_t pos = 0;
    for (int com = 1; com <= 15 && pos < size; ++com) {
        const uint8_t b = data[pos++];
        switch (b & 0x3) {
        case 0:
            continue;
        case 1:
            ports[com] = PortScript::busy();
            continue;
        case 2:
            ports[com] = PortScript::device();
            continue;
        default:
            break;
        }
        QList<QByteArray> chunks;
        const int count = ((b >> 2) & 0x3) + 1;
        for (int i = 0; i < count && pos < size; ++i) {
            const size_t announced = data[pos++];
            const size_t length = std::min(announced, size - pos);
            chunks.append(
                QByteArray(reinterpret_cast<const char *>(data + pos), qsizetype(length)));
            pos += length;
        }
        ports[com] = PortScript::device(chunks);
        const QByteArray captured = lastCapture(chunks);
        if (expected.size() < 4 &&
            startsWithToken(reinterpret_cast<const uint8_t *>(captured.constData()),
                            size_t(captured.size())))
            expected.append(com);
    }

    vell::model::Programmers programmers;
    const auto names = vell::link::PortNames::fromDirectory(QStringLiteral("/nonexistent/ports"));
    vell::test::ScriptedLink *link = nullptr;
    ProgrammerSearch search(
        programmers, names,
        [&link, &ports] {
            auto scripted = std::make_unique<vell::test::ScriptedLink>(ports);
            link = scripted.get();
            return scripted;
        },
        3600 * 1000);
    search.start();
    int ticks = 0;
    while (search.isRunning()) {
        if (++ticks > ProgrammerSearch::kMostTicks)
            fail("ticks", ticks);
        search.tick();
        if (search.currentPort() < 1 || search.currentPort() > ProgrammerSearch::kPortLimit)
            fail("current port", search.currentPort());
    }

    if (search.programmersFound() != expected.size())
        fail("programmers found", search.programmersFound());
    for (const vell::model::ProgrammerNumber n : vell::model::ProgrammerSet::all()) {
        const vell::model::ProgrammerState &slot = programmers.state(n);
        const int com = n.value() <= expected.size() ? expected.at(n.value() - 1) : 0;
        if (slot.comPort != com || slot.present != (com != 0))
            fail("slot", n.value());
    }
    for (int i = 0; i < link->attempts.size(); ++i) {
        const int com = link->attempts.at(i);
        if (com != i + 1)
            fail("probe order", com);
    }
    if (link->isOpen())
        fail("scanning port left open", 0);
    return 0;
}
