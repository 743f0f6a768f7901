#pragma once

#include "common/fakeseriallink.h"

#include <QByteArray>
#include <QList>
#include <QMap>

namespace vell::test {

/// What stands behind one COM number for the search's scanning link.
struct PortScript
{
    enum class Kind
    {
        Missing, ///< no device: open reports an invalid port
        Busy,    ///< opening fails for another reason
        Device,  ///< opens; then sends `chunks`, one receive event each
    };
    Kind kind = Kind::Missing;
    QList<QByteArray> chunks;

    static PortScript device(QList<QByteArray> chunks = {}) { return {Kind::Device, chunks}; }
    static PortScript busy() { return {Kind::Busy, {}}; }
};

/// A 24-byte message that starts with token, as a device would send it after open.
inline QByteArray message(const QByteArray &token, int length = 24)
{
    QByteArray bytes = token;
    bytes.append(QByteArray(qMax(0, length - int(token.size())), '\0'));
    return bytes.left(length);
}

/// The scanning link over a table of scripted ports (COM number -> what is there). A device's
/// bytes arrive as soon as it is opened; closing discards whatever was not read, as a real
/// port does.
class ScriptedLink : public FakeSerialLink
{
public:
    explicit ScriptedLink(const QMap<int, PortScript> &ports) : m_ports(ports) {}

    /// Every COM number the search tried to open, in order.
    QList<int> attempts;

    OpenResult open(const QString &deviceName) override
    {
        const int com = deviceName.mid(deviceName.lastIndexOf(QLatin1String("COM")) + 3).toInt();
        attempts.append(com);
        const PortScript script = m_ports.value(com);
        switch (script.kind) {
        case PortScript::Kind::Missing:
            openResult = OpenResult::InvalidPort;
            break;
        case PortScript::Kind::Busy:
            openResult = OpenResult::Failed;
            break;
        case PortScript::Kind::Device:
            openResult = OpenResult::Opened;
            break;
        }
        const OpenResult result = FakeSerialLink::open(deviceName);
        if (result == OpenResult::Opened) {
            for (const QByteArray &chunk : script.chunks)
                inject(chunk);
        }
        return result;
    }
    void close() override
    {
        FakeSerialLink::close();
        readAll();
    }

private:
    QMap<int, PortScript> m_ports;
};

} // namespace vell::test
