#include "qserialportlink.h"

#include "logging.h"

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

namespace vell::link {

namespace {
constexpr int kHangupCheckMs = 100;
} // namespace

QSerialPortLink::QSerialPortLink(QObject *parent) : SerialLink(parent)
{
    connect(&m_port, &QSerialPort::readyRead, this, &SerialLink::readyRead);
    connect(&m_port, &QSerialPort::bytesWritten, this, &SerialLink::bytesWritten);
    connect(&m_port, &QSerialPort::errorOccurred, this, &QSerialPortLink::onError);
    m_hangupCheck.setInterval(kHangupCheckMs);
    connect(&m_hangupCheck, &QTimer::timeout, this, &QSerialPortLink::checkHangup);
}

QSerialPortLink::~QSerialPortLink() = default;

SerialLink::OpenResult QSerialPortLink::open(const QString &deviceName)
{
    if (m_port.isOpen())
        return OpenResult::AlreadyOpen;
    m_deviceName = deviceName;
    m_openError.clear();
    if (deviceName.isEmpty())
        return OpenResult::InvalidPort;

    // 115200,N,8,1. DTR, RTS and flow control stay as the port comes (the calls fail on a pty).
    // No read buffer limit: a bounded one would drop received bytes.
    m_port.setPortName(deviceName);
    m_port.setBaudRate(QSerialPort::Baud115200);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setStopBits(QSerialPort::OneStop);

    if (!m_port.open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError error = m_port.error();
        qCDebug(lcLink) << "open failed:" << deviceName << error << m_port.errorString();
        m_openError = m_port.errorString();
        m_port.clearError();
        return error == QSerialPort::DeviceNotFoundError ? OpenResult::InvalidPort
                                                         : OpenResult::Failed;
    }
    ++m_session;
    m_lossReported = false;
#ifdef Q_OS_UNIX
    m_hangupCheck.start();
#endif
    qCDebug(lcLink) << "opened" << deviceName;
    return OpenResult::Opened;
}

bool QSerialPortLink::isOpen() const
{
    return m_port.isOpen();
}

void QSerialPortLink::close()
{
    if (m_port.isOpen())
        m_port.close();
}

bool QSerialPortLink::write(const QByteArray &bytes)
{
    if (!m_port.isOpen())
        return false;
    qCDebug(lcWire).noquote() << m_deviceName << "->" << bytes.toHex(' ');
    return m_port.write(bytes) == bytes.size();
}

QByteArray QSerialPortLink::readAll()
{
    const QByteArray bytes = m_port.readAll();
    if (!bytes.isEmpty())
        qCDebug(lcWire).noquote() << m_deviceName << "<-" << bytes.toHex(' ');
    return bytes;
}

qint64 QSerialPortLink::bytesAvailable() const
{
    return m_port.bytesAvailable();
}

qint64 QSerialPortLink::bytesToWrite() const
{
    return m_port.bytesToWrite();
}

void QSerialPortLink::discardOutput()
{
    if (m_port.isOpen())
        m_port.clear(QSerialPort::Output);
}

void QSerialPortLink::onError(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
        break;
    default:
        // NoError comes with every open and clearError; open failures are returned by open().
        return;
    }
    if (!m_port.isOpen() || m_lossReported)
        return;
    // Qt keeps reporting a vanished device many times a second while the port stays open:
    // close it here, and tell the owner from the event loop, never from inside this slot.
    m_lossReported = true;
    qCDebug(lcLink) << "device lost:" << m_deviceName << error;
    m_port.close();
    const quint64 session = m_session;
    QMetaObject::invokeMethod(
        this,
        [this, session] {
            if (session == m_session)
                Q_EMIT deviceLost();
        },
        Qt::QueuedConnection);
}

// An unplugged USB device (or a pty whose far end closed) leaves a hung-up terminal: Qt 6.4
// reports its end-of-file reads as a ReadError, Qt 6.8 as no data, without end. The hang-up
// itself shows in poll() either way.
void QSerialPortLink::checkHangup()
{
#ifdef Q_OS_UNIX
    if (!m_port.isOpen()) {
        m_hangupCheck.stop();
        return;
    }
    pollfd p{m_port.handle(), 0, 0};
    if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
        onError(QSerialPort::ResourceError);
#endif
}

LinkFactory qserialPortFactory()
{
    return [] { return std::make_unique<QSerialPortLink>(); };
}

} // namespace vell::link
