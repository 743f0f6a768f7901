#pragma once

// The search's scanning link over a table of scripted ports (the search's tests and fuzzer).

#include "common/fakeseriallink.h"

#include <QMap>
#include <QThread>
#include <QTimer>

namespace vell::test {

/// What stands behind one COM number: no device (open: invalid port), a busy one (open fails),
/// or a device that sends chunks when opened, one receive event each.
struct PortScript
{
    enum class Kind
    {
        Missing,
        Busy,
        Device,
    };
    Kind kind = Kind::Missing;
    QList<QByteArray> chunks;

    static PortScript device(QList<QByteArray> chunks = {}) { return {Kind::Device, chunks}; }
    static PortScript busy() { return {Kind::Busy, {}}; }
};

class ScriptedLink : public FakeSerialLink
{
public:
    explicit ScriptedLink(const QMap<int, PortScript> &ports) : m_ports(ports) {}
    QList<int> attempts; ///< every COM number opened, in order
    int openMs = 0;      ///< a device's open blocks this long; its chunks come just after

    OpenResult open(const QString &deviceName) override
    {
        const int com = deviceName.mid(deviceName.lastIndexOf(QLatin1String("COM")) + 3).toInt();
        attempts.append(com);
        const PortScript script = m_ports.value(com);
        openResult = script.kind == PortScript::Kind::Device ? OpenResult::Opened
                     : script.kind == PortScript::Kind::Busy ? OpenResult::Failed
                                                             : OpenResult::InvalidPort;
        const OpenResult result = FakeSerialLink::open(deviceName);
        if (result != OpenResult::Opened)
            return result;
        const auto send = [this, chunks = script.chunks] {
            for (const QByteArray &chunk : chunks)
                inject(chunk);
        };
        if (openMs > 0) {
            QThread::msleep(static_cast<unsigned long>(openMs));
            QTimer::singleShot(1, this, send);
        } else {
            send();
        }
        return result;
    }
    void close() override
    {
        FakeSerialLink::close();
        readAll(); // a closed port drops what was not read
    }

private:
    QMap<int, PortScript> m_ports;
};

} // namespace vell::test
