#pragma once

// The device end of a raw pseudo-terminal, for tests that run the real QSerialPort: the port
// end is opened by the code under test, through the slave name or a symlink to it.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace vell::test {

class Pty
{
public:
    /// With linkPath, that path becomes a symlink to the slave (a COMn in a ports folder).
    explicit Pty(const QString &linkPath = QString())
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            return;
        termios modes{};
        ::tcgetattr(m_master, &modes);
        ::cfmakeraw(&modes);
        ::tcsetattr(m_master, TCSANOW, &modes);
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        m_slaveName = QString::fromLocal8Bit(::ptsname(m_master));
        m_ok = linkPath.isEmpty() || QFile::link(m_slaveName, linkPath);
    }
    ~Pty() { closeMaster(); }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    [[nodiscard]] bool ok() const { return m_ok; }
    [[nodiscard]] int fd() const { return m_master; }
    [[nodiscard]] QString slaveName() const { return m_slaveName; }
    /// The device goes away: the port end sees a hang-up.
    void closeMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }
    bool send(const QByteArray &bytes) const
    {
        return ::write(m_master, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }
    /// Everything the port end has written so far.
    QByteArray received()
    {
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(m_master, buffer, sizeof buffer)) > 0)
            m_received.append(buffer, int(got));
        return m_received;
    }

private:
    int m_master = -1;
    bool m_ok = false;
    QString m_slaveName;
    QByteArray m_received;
};

} // namespace vell::test
