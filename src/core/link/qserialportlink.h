#pragma once

#include "seriallink.h"

#include <QSerialPort>
#include <QTimer>

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

    QSerialPort m_port;
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
