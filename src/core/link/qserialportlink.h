#pragma once

#include "seriallink.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QSerialPort>
#include <QTimer>

class QSocketNotifier;

namespace vell::link {

/// A SerialLink over QSerialPort, for real ports and ptys. A device that goes away is closed
/// at once and reported through deviceLost, once per loss.
class QSerialPortLink : public SerialLink
{
    Q_OBJECT
public:
    explicit QSerialPortLink(QObject *parent = nullptr);
    ~QSerialPortLink() override;

    OpenResult open(const QString &deviceName) override;
    [[nodiscard]] bool isOpen() const override;
    void close() override;
    bool write(const QByteArray &bytes) override;
    QByteArray readAll() override;
    [[nodiscard]] qint64 bytesAvailable() const override;
    [[nodiscard]] qint64 bytesToWrite() const override;
    void discardOutput() override;
    [[nodiscard]] QString deviceName() const override { return m_deviceName; }
    [[nodiscard]] QString openError() const override { return m_openError; }

private:
    void onError(QSerialPort::SerialPortError error);
    void checkHangup();
    void closePort();
    /// Hands what waits to the driver, as much as it takes now; then waits for room if some
    /// is left, and tells what was taken.
    void flushOutput();
    void waitForRoom();
    void dropQueue();

    QSerialPort m_port;
    /// What write() queued and the driver has not taken yet (Unix): the writes themselves,
    /// shared, not copied (a batch goes to every link), the first from m_outAt on. QSerialPort's
    /// own write buffer is not used there: it wakes the loop whenever the driver has a byte of
    /// room, and a pty has room after every read of its far end.
    QList<QByteArray> m_out;
    qsizetype m_outAt = 0;
    qint64 m_outBytes = 0;
    QSocketNotifier *m_room = nullptr; ///< the driver has room again
    QTimer m_roomLater;                ///< or: look again after a pause
    QElapsedTimer m_lastFull;          ///< since the driver last could not take everything
    /// While open on Unix: looks for a hung-up terminal, which Qt 6.8 reads as no data.
    QTimer m_hangupCheck;
    QString m_deviceName;
    QString m_openError;
    /// Counts openings, so a loss report queued for an earlier opening is dropped.
    quint64 m_session = 0;
    bool m_lossReported = false;
};

/// Makes QSerialPortLinks.
[[nodiscard]] LinkFactory qserialPortFactory();

} // namespace vell::link
