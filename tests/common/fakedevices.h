#pragma once

// In-process simulated programmers (the simulator's I/O-free device logic) behind fake links.

#include "common/fakeseriallink.h"
#include "sim/simdevice.h"

#include <QPointer>
#include <QTimer>

#include <map>

namespace vell::test {

inline int comNumber(const QString &deviceName)
{
    const int at = int(deviceName.lastIndexOf(QLatin1String("COM")));
    return at < 0 ? 0 : deviceName.mid(at + 3).toInt();
}

/// In-process simulated programmers behind fake links: COM n's device greets on open, takes
/// written bytes a zero-time tick later (bytesWritten follows), and its replies arrive a tick
/// later still, as over a fast wire. A device can be unplugged.
class FakeDevices
{
public:
    struct Port
    {
        std::unique_ptr<sim::SimDevice> device;
        QPointer<FakeSerialLink> link; ///< the link that holds the port open
    };

    sim::SimDevice *add(int com, const QString &switches = {}, int stepMs = 1)
    {
        auto options = *sim::DeviceOptions::parse(switches);
        options.stepIntervalMs = stepMs;
        Port &port = m_ports[com];
        port.device = std::make_unique<sim::SimDevice>(options);
        QObject::connect(port.device.get(), &sim::SimDevice::output, port.device.get(),
                         [this, com](const QByteArray &bytes) { deliver(com, bytes); });
        return port.device.get();
    }
    sim::SimDevice *device(int com) { return m_ports.at(com).device.get(); }
    /// The device vanishes: its link loses it, and the number is no device from now on.
    void unplug(int com)
    {
        auto it = m_ports.find(com);
        if (it == m_ports.end())
            return;
        QPointer<FakeSerialLink> link = it->second.link;
        m_ports.erase(it);
        if (link && link->isOpen())
            link->loseDevice();
    }

    [[nodiscard]] link::LinkFactory factory()
    {
        return [this]() -> std::unique_ptr<link::SerialLink> {
            auto link = std::make_unique<DeviceLink>(*this);
            link->holdWrites = true;
            return link;
        };
    }

private:
    class DeviceLink : public FakeSerialLink
    {
    public:
        explicit DeviceLink(FakeDevices &devices) : m_devices(devices) {}
        OpenResult open(const QString &name) override
        {
            auto it = m_devices.m_ports.find(comNumber(name));
            openResult =
                it == m_devices.m_ports.end() ? OpenResult::InvalidPort : OpenResult::Opened;
            const OpenResult result = FakeSerialLink::open(name);
            if (result == OpenResult::Opened) {
                it->second.link = this;
                it->second.device->open();
            }
            return result;
        }
        void close() override
        {
            if (Port *port = m_devices.port(deviceName()); isOpen() && port && port->link == this)
                port->device->close();
            FakeSerialLink::close();
            readAll();
        }
        bool write(const QByteArray &bytes) override
        {
            if (!FakeSerialLink::write(bytes))
                return false;
            m_unsent += bytes;
            QTimer::singleShot(0, this, [this] { carry(); });
            return true;
        }
        void discardOutput() override
        {
            FakeSerialLink::discardOutput();
            m_unsent.clear();
        }

    private:
        void carry()
        {
            Port *port = m_devices.port(deviceName());
            if (!isOpen() || m_unsent.isEmpty() || !port || port->link != this)
                return;
            const QByteArray bytes = std::exchange(m_unsent, {});
            takePending(bytes.size());
            port->device->receive(bytes);
            // The unplug=N switch: gone once N bytes arrived, as the pty programmer does.
            const qint64 after = port->device->options().unplugAfter;
            if (after >= 0 && port->device->receivedBytes() >= after)
                QTimer::singleShot(
                    0, this, [this, com = comNumber(deviceName())] { m_devices.unplug(com); });
        }
        FakeDevices &m_devices;
        QByteArray m_unsent;
    };

    Port *port(const QString &name)
    {
        auto it = m_ports.find(comNumber(name));
        return it == m_ports.end() ? nullptr : &it->second;
    }
    void deliver(int com, const QByteArray &bytes)
    {
        QPointer<FakeSerialLink> link = m_ports.at(com).link;
        QTimer::singleShot(0, link, [link, bytes] {
            if (link && link->isOpen())
                link->inject(bytes);
        });
    }

    std::map<int, Port> m_ports;
};

} // namespace vell::test
