#include "qserialportlink.h"

#include "logging.h"

#include <QSocketNotifier>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

namespace vell::link {

namespace {
constexpr int kHangupCheckMs = 100;
/// The pause before a driver that keeps filling up is looked at again, and what "keeps" means.
constexpr int kRoomPauseMs = 1;
constexpr int kFullAgainMs = 10;
} // namespace

QSerialPortLink::QSerialPortLink(QObject *parent) : SerialLink(parent)
{
    connect(&m_port, &QSerialPort::readyRead, this, &SerialLink::readyRead);
    // Only where the port's own write buffer is used (see write()).
    connect(&m_port, &QSerialPort::bytesWritten, this, &SerialLink::bytesWritten);
    connect(&m_port, &QSerialPort::errorOccurred, this, &QSerialPortLink::onError);
    m_hangupCheck.setInterval(kHangupCheckMs);
    connect(&m_hangupCheck, &QTimer::timeout, this, &QSerialPortLink::checkHangup);
    m_roomLater.setSingleShot(true);
    connect(&m_roomLater, &QTimer::timeout, this, &QSerialPortLink::flushOutput);
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
    dropQueue();
#ifdef Q_OS_UNIX
    m_lastFull.invalidate();
    m_room = new QSocketNotifier(m_port.handle(), QSocketNotifier::Write, this);
    m_room->setEnabled(false);
    connect(m_room, &QSocketNotifier::activated, this, [this] {
        m_room->setEnabled(false);
        flushOutput();
    });
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
        closePort();
}

void QSerialPortLink::closePort()
{
    dropQueue();
    m_roomLater.stop();
    if (m_room) {
        // Possibly inside the notifier's own signal (a slot of bytesWritten closing the link).
        m_room->setEnabled(false);
        m_room->deleteLater();
        m_room = nullptr;
    }
    m_port.close();
}

bool QSerialPortLink::write(const QByteArray &bytes)
{
    if (!m_port.isOpen())
        return false;
    qCDebug(lcWire).noquote() << m_deviceName << "->" << bytes.toHex(' ');
#ifndef Q_OS_UNIX
    return m_port.write(bytes) == bytes.size();
#endif
    // On Unix the bytes wait here and go to the driver when a turn of the loop finds it has
    // room, all that were written until then in one write, after what else that turn found (an
    // open or close the far end saw), as with the port's own buffer.
    m_out.append(bytes);
    m_outBytes += bytes.size();
    if (!m_roomLater.isActive())
        m_room->setEnabled(true);
    return true;
}

void QSerialPortLink::flushOutput()
{
#ifdef Q_OS_UNIX
    if (!m_port.isOpen() || m_out.isEmpty())
        return;
    constexpr int kMostPieces = 64; // a frame is written a byte at a time
    iovec pieces[kMostPieces];
    int count = 0;
    qint64 offered = 0;
    for (const QByteArray &w : std::as_const(m_out)) {
        const qsizetype from = count == 0 ? m_outAt : 0;
        pieces[count].iov_base = const_cast<char *>(w.constData() + from);
        pieces[count].iov_len = size_t(w.size() - from);
        offered += w.size() - from;
        if (++count == kMostPieces)
            break;
    }
    const ssize_t n = ::writev(m_port.handle(), pieces, count);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        onError(QSerialPort::WriteError);
        return;
    }
    const qint64 taken = std::max<qint64>(n, 0);
    m_outBytes -= taken;
    for (qint64 left = taken; left > 0;) {
        const qsizetype rest = m_out.first().size() - m_outAt;
        if (left < rest) {
            m_outAt += qsizetype(left);
            break;
        }
        left -= rest;
        m_out.removeFirst();
        m_outAt = 0;
    }
    if (taken == offered && !m_out.isEmpty())
        m_room->setEnabled(true); // more pieces than one write takes
    else if (!m_out.isEmpty())
        waitForRoom();
    if (taken > 0)
        Q_EMIT bytesWritten(taken);
#endif
}

void QSerialPortLink::waitForRoom()
{
    // A driver that fills up again soon after it last did is drained by a fast reader (a pty
    // frees a few kilobytes per read of the far end, each a wake-up of its own): it is looked
    // at again after a short pause, so one turn of the loop tops up every link. A real wire at
    // 115200 baud takes far longer to drain the driver, and wakes us when it nearly has.
    const bool soonAgain = m_lastFull.isValid() && m_lastFull.elapsed() < kFullAgainMs;
    m_lastFull.start();
    if (soonAgain)
        m_roomLater.start(kRoomPauseMs);
    else
        m_room->setEnabled(true);
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
    return m_outBytes + m_port.bytesToWrite();
}

void QSerialPortLink::dropQueue()
{
    m_out.clear();
    m_outAt = 0;
    m_outBytes = 0;
}

void QSerialPortLink::discardOutput()
{
    dropQueue();
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
    closePort();
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
