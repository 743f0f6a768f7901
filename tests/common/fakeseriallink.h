#pragma once

#include <array>

#include "link/programmerslot.h"
#include "link/seriallink.h"

#include <QByteArray>
#include <QList>
#include <QPair>

#include <functional>
#include <memory>
#include <vector>

namespace vell::test {

/// A SerialLink that records what is written and lets a test feed bytes, lose the device,
/// refuse writes and play the part of a slow wire (pending bytes).
class FakeSerialLink : public link::SerialLink
{
public:
    using SerialLink::SerialLink;

    /// What the next open returns (an already open link answers AlreadyOpen).
    OpenResult openResult = OpenResult::Opened;
    int openCalls = 0;
    int closeCalls = 0;
    /// One entry per write call that was accepted.
    QList<QByteArray> writes;
    /// While set, every write fails and records nothing.
    bool refuseWrites = false;
    /// Called with each accepted write (the bank uses it for the global write order).
    std::function<void(const QByteArray &)> onWrite;

    OpenResult open(const QString &deviceName) override
    {
        ++openCalls;
        if (m_open)
            return OpenResult::AlreadyOpen;
        m_deviceName = deviceName;
        if (openResult == OpenResult::Opened)
            m_open = true;
        return openResult;
    }
    bool isOpen() const override { return m_open; }
    void close() override
    {
        ++closeCalls;
        m_open = false;
    }
    bool write(const QByteArray &bytes) override
    {
        if (!m_open || refuseWrites)
            return false;
        writes.append(bytes);
        if (onWrite)
            onWrite(bytes);
        return true;
    }
    QByteArray readAll() override
    {
        QByteArray out;
        out.swap(m_received);
        return out;
    }
    qint64 bytesAvailable() const override { return m_received.size(); }
    qint64 bytesToWrite() const override { return m_pending; }
    QString deviceName() const override { return m_deviceName; }

    /// All accepted bytes, in order.
    [[nodiscard]] QByteArray written() const
    {
        QByteArray all;
        for (const QByteArray &w : writes)
            all += w;
        return all;
    }
    /// Appends to the receive buffer and signals readyRead.
    void inject(const QByteArray &bytes)
    {
        m_received += bytes;
        Q_EMIT readyRead();
    }
    /// The device goes away: the link closes and deviceLost is signalled.
    void loseDevice()
    {
        m_open = false;
        Q_EMIT deviceLost();
    }
    /// Bytes the "wire" has not taken yet (what bytesToWrite reports).
    void setPending(qint64 bytes) { m_pending = bytes; }
    /// The wire takes up to `bytes` of the pending bytes; bytesWritten reports how many.
    void takePending(qint64 bytes)
    {
        const qint64 taken = std::min(bytes, m_pending);
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

/// Makes FakeSerialLinks through a LinkFactory and keeps pointers to them (the consumer owns
/// them) plus the order of every write across all of them.
class FakeLinkBank
{
public:
    /// The fakes created, in creation order.
    std::vector<FakeSerialLink *> links;
    /// Every accepted write: (index into links, bytes), in the order they happened.
    QList<QPair<int, QByteArray>> writeLog;

    [[nodiscard]] link::LinkFactory factory()
    {
        return [this]() -> std::unique_ptr<link::SerialLink> {
            auto fake = std::make_unique<FakeSerialLink>();
            const int i = int(links.size());
            fake->onWrite = [this, i](const QByteArray &bytes) { writeLog.append({i, bytes}); };
            links.push_back(fake.get());
            return fake;
        };
    }
};

/// The targets of a command addressed to programmer n alone.
inline std::array<bool, link::kProgrammerCount> only(int n)
{
    std::array<bool, link::kProgrammerCount> t{};
    t[size_t(n - 1)] = true;
    return t;
}

} // namespace vell::test
