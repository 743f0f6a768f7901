#include "sim/ptyprogrammer.h"

#include "logging.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#ifdef Q_OS_LINUX
#include <sys/inotify.h>
#endif
#include <unistd.h>

namespace vell::sim {

namespace {

constexpr int kSplitGapMs = 2;    // between the one-byte writes of a split reply
constexpr int kReadChunk = 4096;  // most bytes taken from the pty in one read
constexpr int kRateSliceMs = 10;  // granularity of the read-rate limit
constexpr int kHangupPollMs = 10; // open detection without inotify
// A real programmer answers the open a USB round trip later. Replies held this long reach the
// app after its serial layer finished opening: Qt 6.5 and later flush the port's input at the
// end of open(), and would drop a greeting written the moment the open began.
constexpr int kOpenAnswerMs = 20;

QString errnoText(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}

bool setFlags(int fd)
{
    const int fl = ::fcntl(fd, F_GETFL);
    const int fd_fl = ::fcntl(fd, F_GETFD);
    return fl >= 0 && fd_fl >= 0 && ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0 &&
           ::fcntl(fd, F_SETFD, fd_fl | FD_CLOEXEC) == 0;
}

bool slaveName(int master, char *name, size_t size)
{
#ifdef Q_OS_LINUX
    return ::ptsname_r(master, name, size) == 0;
#else
    const char *n = ::ptsname(master);
    if (!n || std::strlen(n) >= size)
        return false;
    std::strcpy(name, n);
    return true;
#endif
}

// A master and its raw slave, primed: the slave was opened and closed once, so the master
// reports POLLHUP exactly while no one holds the slave.
int openMaster(QString *slavePath, QString *error)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        *error = errnoText("posix_openpt");
        return -1;
    }
    char name[128] = {};
    termios t{};
    if (!setFlags(master) || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        !slaveName(master, name, sizeof name) || ::tcgetattr(master, &t) != 0) {
        *error = errnoText("pty");
        ::close(master);
        return -1;
    }
    // The slave starts in cooked mode; settings made on the master are the slave's.
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, B115200);
    ::cfsetospeed(&t, B115200);
    if (::tcsetattr(master, TCSANOW, &t) != 0) {
        *error = errnoText("tcsetattr");
        ::close(master);
        return -1;
    }
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave >= 0)
        ::close(slave);
    *slavePath = QString::fromLocal8Bit(name);
    return master;
}

// Makes the link, replacing a dangling one left behind by a simulator that was killed.
bool makeLink(const QString &slavePath, const QString &linkPath, QString *error)
{
    const QFileInfo existing(linkPath);
    if (existing.isSymLink() && !existing.exists())
        QFile::remove(linkPath);
    if (::symlink(QFile::encodeName(slavePath).constData(),
                  QFile::encodeName(linkPath).constData()) != 0) {
        *error = QStringLiteral("cannot make link %1: %2")
                     .arg(linkPath, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

} // namespace

std::unique_ptr<PtyProgrammer> PtyProgrammer::create(const QString &linkPath,
                                                     const DeviceOptions &options, QString *error,
                                                     OpenDetection detection)
{
    QString message;
    QString slavePath;
    const int master = openMaster(&slavePath, &message);
    if (master >= 0 && !makeLink(slavePath, linkPath, &message)) {
        ::close(master);
        if (error)
            *error = message;
        return {};
    }
    if (master < 0) {
        if (error)
            *error = message;
        return {};
    }
    return std::unique_ptr<PtyProgrammer>(
        new PtyProgrammer(master, slavePath, linkPath, options, detection));
}

PtyProgrammer::PtyProgrammer(int master, QString slavePath, QString linkPath,
                             const DeviceOptions &options, OpenDetection detection)
    : m_device(options), m_master(master), m_slavePath(std::move(slavePath)),
      m_linkPath(std::move(linkPath))
{
    // An open of the slave is the app opening the port; inotify tells at once, with no polling.
#ifdef Q_OS_LINUX
    if (detection == OpenDetection::Inotify)
        m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotify >= 0 && !watchSlave(true)) {
        ::close(m_inotify);
        m_inotify = -1;
    }
#else
    Q_UNUSED(detection)
#endif
    if (m_inotify >= 0) {
        m_inotifyNotifier = new QSocketNotifier(m_inotify, QSocketNotifier::Read, this);
        connect(m_inotifyNotifier, &QSocketNotifier::activated, this, &PtyProgrammer::onInotify);
    } else {
        // Without inotify: the primed master shows POLLHUP exactly while the port is closed.
        connect(&m_hangupPoll, &QTimer::timeout, this, &PtyProgrammer::checkHangup);
        m_hangupPoll.start(kHangupPollMs);
    }
    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    m_readNotifier->setEnabled(false);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &PtyProgrammer::readMaster);
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &PtyProgrammer::flushOutput);

    m_readResume.setSingleShot(true);
    connect(&m_readResume, &QTimer::timeout, this, &PtyProgrammer::readMaster);
    m_splitTimer.setSingleShot(true);
    connect(&m_splitTimer, &QTimer::timeout, this, &PtyProgrammer::flushOutput);
    m_openAnswer.setSingleShot(true);
    connect(&m_openAnswer, &QTimer::timeout, this, &PtyProgrammer::flushOutput);

    connect(&m_device, &SimDevice::output, this, &PtyProgrammer::write);
    qCDebug(lcSim) << "programmer" << m_linkPath << "on" << m_slavePath;
}

PtyProgrammer::~PtyProgrammer()
{
    closeAll();
}

void PtyProgrammer::closeAll()
{
    m_readResume.stop();
    m_splitTimer.stop();
    m_openAnswer.stop();
    m_hangupPoll.stop();
    // Later, not now: this may run inside one of their own activations.
    for (QSocketNotifier **n : {&m_readNotifier, &m_writeNotifier, &m_inotifyNotifier}) {
        if (*n) {
            (*n)->setEnabled(false);
            (*n)->deleteLater();
            *n = nullptr;
        }
    }
    if (m_inotify >= 0)
        ::close(m_inotify);
    m_inotify = -1;
    if (m_master >= 0) {
        ::close(m_master);
        QFile::remove(m_linkPath);
    }
    m_master = -1;
    m_outQueue.clear();
}

void PtyProgrammer::unplug()
{
    if (m_master < 0)
        return;
    qCDebug(lcSim) << "unplugged" << m_linkPath;
    const bool wasOpen = m_portOpen;
    m_portOpen = false;
    m_device.close();
    closeAll();
    if (wasOpen)
        Q_EMIT portClosed();
    Q_EMIT unplugged();
}

void PtyProgrammer::onInotify()
{
#ifdef Q_OS_LINUX
    alignas(inotify_event) char buffer[4096];
    bool seen = false;
    for (;;) {
        const ssize_t n = ::read(m_inotify, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += ssize_t(sizeof(inotify_event)) + event->len;
            if (event->mask & IN_Q_OVERFLOW) {
                // Some were lost: the session ends, and the opener count starts again from
                // what the master tells.
                seen = true;
                m_openers = 0;
                setPortOpen(false);
                continue;
            }
            if (event->wd != m_watch)
                continue; // a watch removed while the slave was flushed
            seen = true;
            if (event->mask & IN_OPEN)
                ++m_openers;
            // In order: a close and a re-open in one read end the old session first.
            if ((event->mask & IN_CLOSE) && m_openers > 0 && --m_openers == 0)
                setPortOpen(false);
        }
    }
    if (seen)
        checkHangup();
#endif
}

bool PtyProgrammer::watchSlave(bool on)
{
#ifdef Q_OS_LINUX
    if (m_inotify < 0)
        return false;
    if (!on) {
        ::inotify_rm_watch(m_inotify, m_watch);
        return true;
    }
    m_watch = ::inotify_add_watch(m_inotify, QFile::encodeName(m_slavePath).constData(),
                                  IN_OPEN | IN_CLOSE);
    return m_watch >= 0;
#else
    Q_UNUSED(on)
    return false;
#endif
}

bool PtyProgrammer::hungUp() const
{
    pollfd p{m_master, POLLIN, 0};
    return ::poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP);
}

void PtyProgrammer::checkHangup()
{
    if (m_master < 0)
        return;
    if (!hungUp()) {
        // Someone holds the slave: at least one opener, counted or not.
        m_openers = qMax(m_openers, 1);
        setPortOpen(true);
        return;
    }
    m_openers = 0;
    setPortOpen(false);
    if (m_staleInput)
        dropStaleInput();
}

void PtyProgrammer::dropStaleInput()
{
    // What the last session wrote, and what it left unread, are not for the next one. The
    // slave keeps unread bytes across a close while the master lives, and only a flush on
    // the slave drops them; that open must not look like the app's, so the watch is off.
    m_staleInput = false;
    ::tcflush(m_master, TCIFLUSH);
    const bool watching = watchSlave(false);
    const int slave = ::open(QFile::encodeName(m_slavePath).constData(),
                             O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave >= 0) {
        ::tcflush(slave, TCIFLUSH);
        ::close(slave);
    }
    // The app may have opened the port while the watch was off: the master tells.
    if (watching && watchSlave(true))
        checkHangup();
}

void PtyProgrammer::setPortOpen(bool open)
{
    if (open == m_portOpen)
        return;
    m_portOpen = open;
    dropOutput();
    m_readResume.stop();
    if (open) {
        qCDebug(lcSim) << "port opened" << m_linkPath;
        m_rateClock.start();
        m_rateLastNs = 0;
        m_rateCredit = 0;
        m_readNotifier->setEnabled(true);
        m_openAnswer.start(kOpenAnswerMs);
        Q_EMIT portOpened();
        m_device.open();
    } else {
        qCDebug(lcSim) << "port closed" << m_linkPath;
        m_staleInput = true;
        // A hung-up master is always readable (EIO); listening now would spin.
        m_readNotifier->setEnabled(false);
        m_device.close();
        Q_EMIT portClosed();
    }
}

qint64 PtyProgrammer::readBudget()
{
    const DeviceOptions &o = m_device.options();
    qint64 budget = kReadChunk;
    const qint64 received = m_device.receivedBytes();
    if (o.stallAfter >= 0)
        budget = qMin(budget, o.stallAfter - received);
    if (o.unplugAfter >= 0)
        budget = qMin(budget, o.unplugAfter - received);
    if (o.readRate > 0) {
        // Credit accrues with time, capped at a few slices so an idle line gives no burst
        // and a late timer loses no rate.
        const double cap = qMax(1.0, o.readRate * 3 * kRateSliceMs / 1000.0);
        // Nanoseconds, so no fraction of a millisecond is lost on every read.
        const qint64 now = m_rateClock.nsecsElapsed();
        const double elapsedNs = double(now - m_rateLastNs);
        m_rateLastNs = now;
        m_rateCredit = qMin(cap, m_rateCredit + elapsedNs * o.readRate / 1e9);
        budget = qMin(budget, qint64(m_rateCredit));
    }
    return qMax<qint64>(0, budget);
}

void PtyProgrammer::readMaster()
{
    if (m_master < 0 || !m_portOpen)
        return;
    const DeviceOptions &o = m_device.options();
    if (o.unplugAfter >= 0 && m_device.receivedBytes() >= o.unplugAfter) {
        unplug();
        return;
    }
    const qint64 budget = readBudget();
    if (budget == 0) {
        // Leave the bytes in the kernel's buffer: the app's writes back up as on a slow wire.
        m_readNotifier->setEnabled(false);
        if (o.stallAfter >= 0 && m_device.receivedBytes() >= o.stallAfter)
            return; // stalled for good
        m_readResume.start(kRateSliceMs);
        return;
    }
    QByteArray bytes(int(budget), Qt::Uninitialized);
    const ssize_t n = ::read(m_master, bytes.data(), size_t(budget));
    if (n < 0) {
        if (errno == EIO) // the app closed the port (no other way to tell without inotify)
            setPortOpen(false);
        return;
    }
    if (n == 0)
        return;
    bytes.truncate(int(n));
    if (o.readRate > 0)
        m_rateCredit -= double(n);
    m_readNotifier->setEnabled(true);
    m_device.receive(bytes);
    if (o.unplugAfter >= 0 && m_device.receivedBytes() >= o.unplugAfter)
        unplug();
}

void PtyProgrammer::write(const QByteArray &bytes)
{
    if (!m_portOpen || m_master < 0)
        return; // no one listens; a master would keep the bytes for the next opener
    if (m_device.options().splitReplies) {
        for (char c : bytes)
            m_outQueue.append(QByteArray(1, c));
    } else {
        m_outQueue.append(bytes);
    }
    if (!m_splitTimer.isActive() && !m_openAnswer.isActive() && !m_writeNotifier->isEnabled())
        flushOutput();
}

void PtyProgrammer::flushOutput()
{
    if (m_master < 0)
        return;
    m_writeNotifier->setEnabled(false);
    const bool split = m_device.options().splitReplies;
    while (!m_outQueue.isEmpty() && m_master >= 0) {
        QByteArray &head = m_outQueue.first();
        const ssize_t n = ::write(m_master, head.constData(), size_t(head.size()));
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                m_writeNotifier->setEnabled(true); // the app is not reading: wait for room
            else
                m_outQueue.clear();
            return;
        }
        head.remove(0, qsizetype(n));
        if (!head.isEmpty()) {
            m_writeNotifier->setEnabled(true);
            return;
        }
        m_outQueue.removeFirst();
        if (split && !m_outQueue.isEmpty()) {
            // A gap, so each byte reaches the app in a read of its own.
            m_splitTimer.start(kSplitGapMs);
            return;
        }
    }
}

void PtyProgrammer::dropOutput()
{
    m_outQueue.clear();
    m_splitTimer.stop();
    m_openAnswer.stop();
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
}

} // namespace vell::sim
