#pragma once

// A programmer on a pty of the test's own that can also pour random bytes onto its line at
// the pace the app reads them: the noise is made 4 KiB at a time when the pty has room, so
// the test itself holds no backlog and the app's memory can be measured.

#include "sim/simdevice.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace vell::test {

class NoisyProgrammer : public QObject
{
public:
    static constexpr int kChunk = 4096;

    explicit NoisyProgrammer(const QString &linkPath) : m_linkPath(linkPath)
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t{};
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0 ||
            ::tcgetattr(m_master, &t) != 0)
            return;
        ::cfmakeraw(&t);
        ::tcsetattr(m_master, TCSANOW, &t);
        const QByteArray slave = ::ptsname(m_master);
        // Held for the whole test, so the master never sees a hang-up between the app's opens.
        m_slave = ::open(slave.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_slave < 0 || ::symlink(slave.constData(), QFile::encodeName(linkPath).constData()) != 0)
            return;
        m_reader = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
        connect(m_reader, &QSocketNotifier::activated, this, &NoisyProgrammer::readApp);
        m_writer = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
        m_writer->setEnabled(false);
        connect(m_writer, &QSocketNotifier::activated, this, &NoisyProgrammer::pour);
        connect(&device, &sim::SimDevice::output, this, [this](const QByteArray &bytes) {
            m_replies += bytes;
            pour();
        });
        m_ok = true;
    }
    ~NoisyProgrammer() override
    {
        QFile::remove(m_linkPath);
        if (m_slave >= 0)
            ::close(m_slave);
        if (m_master >= 0)
            ::close(m_master);
    }

    [[nodiscard]] bool isValid() const { return m_ok; }
    /// Pours this many random bytes, behind any reply already queued.
    void startNoise(qint64 bytes)
    {
        m_noiseLeft += bytes;
        pour();
    }
    [[nodiscard]] qint64 noiseLeft() const { return m_noiseLeft; }

    sim::SimDevice device;

private:
    void readApp()
    {
        char buffer[65536];
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0)
            device.receive(QByteArray(buffer, int(n)));
    }
    void pour()
    {
        m_writer->setEnabled(false);
        for (;;) {
            if (m_replies.isEmpty() && m_noiseLeft > 0) {
                m_replies.resize(int(qMin<qint64>(kChunk, m_noiseLeft)));
                m_random.fillRange(reinterpret_cast<quint32 *>(m_replies.data()),
                                   m_replies.size() / 4);
                m_noiseLeft -= m_replies.size();
            }
            if (m_replies.isEmpty())
                return;
            const ssize_t n = ::write(m_master, m_replies.constData(), size_t(m_replies.size()));
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    m_writer->setEnabled(true);
                return;
            }
            m_replies.remove(0, qsizetype(n));
        }
    }

    QString m_linkPath;
    int m_master = -1;
    int m_slave = -1;
    bool m_ok = false;
    QSocketNotifier *m_reader = nullptr;
    QSocketNotifier *m_writer = nullptr;
    QByteArray m_replies;
    qint64 m_noiseLeft = 0;
    QRandomGenerator m_random{20260412};
};

} // namespace vell::test
