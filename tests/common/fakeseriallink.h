#pragma once

// The one fake serial link: the test feeds its bytes, or a scripted port table (the search's
// tests) or in-process simulated programmers (fakedevices.h) stand behind it.

#include "link/seriallink.h"

#include <QByteArray>
#include <QList>

#include <functional>
#include <memory>
#include <vector>

namespace vell::test {

/// Records what is written, lets a test feed bytes, lose the device, refuse writes and keep
/// bytes pending on a slow wire.
class FakeSerialLink : public link::SerialLink
{
public:
    OpenResult openResult = OpenResult::Opened; ///< what the next open returns
    int openCalls = 0;
    int discardCalls = 0;
    QList<QByteArray> writes;  ///< one entry per accepted write
    bool refuseWrites = false; ///< every write fails while set
    bool holdWrites = false;   ///< accepted bytes wait until takePending
    std::function<void(const QByteArray &)> onWrite;

    OpenResult open(const QString &deviceName) override
    {
        ++openCalls;
        if (m_open)
            return OpenResult::AlreadyOpen;
        m_deviceName = deviceName;
        m_open = openResult == OpenResult::Opened;
        return openResult;
    }
    bool isOpen() const override { return m_open; }
    void close() override { m_open = false; }
    bool write(const QByteArray &bytes) override
    {
        if (!m_open || refuseWrites)
            return false;
        writes.append(bytes);
        if (holdWrites)
            m_pending += bytes.size();
        if (onWrite)
            onWrite(bytes);
        return true;
    }
    QByteArray readAll() override { return std::exchange(m_received, {}); }
    qint64 bytesAvailable() const override { return m_received.size(); }
    qint64 bytesToWrite() const override { return m_pending; }
    void discardOutput() override
    {
        ++discardCalls;
        m_pending = 0;
    }
    QString deviceName() const override { return m_deviceName; }

    [[nodiscard]] QByteArray written() const { return writes.join(); }
    /// The writes of exactly size bytes, joined (a frame's bytes: size 1).
    /// What went out in writes of more than a byte: the stream's blocks (a frame is written a
    /// byte at a time).
    [[nodiscard]] QByteArray streamWrites() const
    {
        QByteArray all;
        for (const QByteArray &w : writes)
            all += w.size() > 1 ? w : QByteArray();
        return all;
    }
    [[nodiscard]] QByteArray writesOfSize(int size) const
    {
        QByteArray all;
        for (const QByteArray &w : writes)
            all += w.size() == size ? w : QByteArray();
        return all;
    }
    void inject(const QByteArray &bytes)
    {
        m_received += bytes;
        Q_EMIT readyRead();
    }
    void loseDevice()
    {
        m_open = false;
        Q_EMIT deviceLost();
    }
    /// The wire takes up to bytes of the pending ones.
    void takePending(qint64 bytes = -1)
    {
        const qint64 taken = bytes < 0 ? m_pending : std::min(bytes, m_pending);
        m_pending -= taken;
        Q_EMIT bytesWritten(taken);
    }
    void setOpen(bool open) { m_open = open; }

private:
    bool m_open = false;
    QString m_deviceName;
    QByteArray m_received;
    qint64 m_pending = 0;
};

/// Makes fakes through a LinkFactory, keeps pointers to them (the consumer owns them) and the
/// order of every write across all of them.
class FakeLinkBank
{
public:
    std::vector<FakeSerialLink *> links;
    QList<QPair<int, QByteArray>> writeLog; ///< (index into links, bytes)

    /// hold: the links' bytes wait until the test lets the wire take them.
    [[nodiscard]] link::LinkFactory factory(bool hold = false)
    {
        return [this, hold]() -> std::unique_ptr<link::SerialLink> {
            auto fake = std::make_unique<FakeSerialLink>();
            fake->holdWrites = hold;
            const int i = int(links.size());
            fake->onWrite = [this, i](const QByteArray &bytes) { writeLog.append({i, bytes}); };
            links.push_back(fake.get());
            return fake;
        };
    }
};

} // namespace vell::test
