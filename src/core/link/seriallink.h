#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace vell::link {

/// One programmer's serial link at 115200,N,8,1, as the senders and the reply handler need it.
/// Implemented over QSerialPort for real ports and ptys; tests may substitute their own.
class SerialLink : public QObject
{
    Q_OBJECT
public:
    enum class OpenResult
    {
        Opened,
        AlreadyOpen,
        InvalidPort, ///< no device stands for the name (the serial layer's "invalid port number")
        Failed,      ///< any other failure: busy, no permission, ...
    };

    using QObject::QObject;
    ~SerialLink() override = default;

    /// Opens the device with the fixed line settings. Settings are applied only here, so a
    /// link already open is left untouched.
    virtual OpenResult open(const QString &deviceName) = 0;
    [[nodiscard]] virtual bool isOpen() const = 0;
    virtual void close() = 0;
    /// Queues bytes for writing; never blocks. False when the link is not open or refuses.
    virtual bool write(const QByteArray &bytes) = 0;
    /// Everything received and not yet read.
    virtual QByteArray readAll() = 0;
    [[nodiscard]] virtual qint64 bytesAvailable() const = 0;
    /// Bytes queued for writing that the device has not taken yet.
    [[nodiscard]] virtual qint64 bytesToWrite() const = 0;
    /// Drops what waits to be written, queued and in the driver, so that closing a link whose
    /// device stopped reading does not wait for it. Nothing by default.
    virtual void discardOutput() {}
    /// The device name last opened (empty before).
    [[nodiscard]] virtual QString deviceName() const = 0;
    /// Why the last open failed, in the serial layer's words (empty when it did not).
    [[nodiscard]] virtual QString openError() const { return {}; }

Q_SIGNALS:
    void readyRead();
    void bytesWritten(qint64 bytes);
    /// The device went away (unplugged) or failed while open; the link is already closed.
    void deviceLost();
};

using LinkFactory = std::function<std::unique_ptr<SerialLink>()>;

} // namespace vell::link
