#pragma once

// A Station over simulated programmers on ptys, driven the way the windows drive it, for the
// fault scenarios: in-process simulators, real QSerialPort links, short intervals.

#include "common/recordingoperator.h"

#include "app/station.h"
#include "app/watchdog.h"
#include "link/portnames.h"
#include "link/qserialportlink.h"
#include "load/filetransfer.h"
#include "sim/simbank.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace vell::test {

/// Fast progress replies, so a program-target run takes a few tens of milliseconds.
inline sim::DeviceOptions fastDevice(const QString &switches = {})
{
    std::optional<sim::DeviceOptions> o = sim::DeviceOptions::parse(switches);
    Q_ASSERT(o);
    o->stepIntervalMs = 2;
    return *o;
}

/// A program file's bytes that differ from block to block.
inline QByteArray programBytes(int length)
{
    QByteArray f(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i)
        f[i] = char((i * 7 + i / 512 + 1) & 0xFF);
    return f;
}

/// The VmRSS or VmHWM line of /proc/self/status in KiB (0 where there is none).
inline qint64 procStatusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

class FaultBench
{
public:
    static constexpr app::StationTimings kTimings{60, 3000, 1000};

    FaultBench() : m_names(link::PortNames::fromDirectory(m_ports.path()))
    {
        m_sims = std::make_unique<sim::SimBank>(m_ports.path());
    }
    ~FaultBench()
    {
        bench.reset();
        m_sims.reset();
    }

    sim::SimBank &sims() { return *m_sims; }
    [[nodiscard]] QString portDir() const { return m_ports.path(); }
    [[nodiscard]] QString fileDir() const { return m_files.path(); }

    /// A simulated programmer on COM com.
    sim::PtyProgrammer *add(int com, const sim::DeviceOptions &options = fastDevice())
    {
        return m_sims->add(com, options);
    }

    /// The Station, with programmers 1..4 recorded on the COM numbers given (as the search
    /// would), their panes shown and the browser in the file folder.
    app::Station &start(const QList<int> &comPorts)
    {
        bench = std::make_unique<app::Station>(m_names, op, link::qserialPortFactory(), kTimings);
        for (int n = 1; n <= comPorts.size(); ++n) {
            bench->programmerSlots().slot(n).comPort = quint8(comPorts.at(n - 1));
            bench->programmerSlots().slot(n).present = true;
        }
        bench->showFoundProgrammers();
        bench->setCurrentFolder(m_files.path());
        return *bench;
    }

    /// Writes a program file into the browser's folder; returns its bytes.
    QByteArray writeProgramFile(const QString &name, int length)
    {
        const QByteArray bytes = programBytes(length);
        QFile f(QDir(m_files.path()).filePath(name));
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return {};
        return bytes;
    }

    [[nodiscard]] QString status(int n) const { return bench->panes().pane(n).status; }

    RecordingOperator op;
    std::unique_ptr<app::Station> bench;

private:
    QTemporaryDir m_ports;
    QTemporaryDir m_files;
    link::PortNames m_names;
    std::unique_ptr<sim::SimBank> m_sims;
};

} // namespace vell::test
