#pragma once

#include "sim/deviceoptions.h"
#include "sim/simdevice.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class QSocketNotifier;

namespace vell::sim {

/// A simulated programmer behind a pseudo-terminal: the link (e.g. DIR/COM3) points at the
/// pty's slave device, which the app opens like any serial port. Greets on every open, which
/// it sees through inotify on the slave (or, lacking it, by polling the master for the hang-up
/// of a closed slave); reads only while the app holds the port, so the
/// read-rate limit and the stall simply leave bytes in the kernel's buffer.
class PtyProgrammer : public QObject
{
    Q_OBJECT
public:
    /// How the app opening and closing the port is seen.
    enum class OpenDetection
    {
        Inotify, ///< events on the slave device, falling back to Poll where missing
        Poll,    ///< the master's hang-up state, looked at every few milliseconds
    };

    /// Makes the pty and the link (a stale link of a dead simulator is replaced). Returns
    /// nothing and an error text when either cannot be made.
    static std::unique_ptr<PtyProgrammer> create(const QString &linkPath,
                                                 const DeviceOptions &options = {},
                                                 QString *error = nullptr,
                                                 OpenDetection detection = OpenDetection::Inotify);
    /// Removes the link and closes the pty.
    ~PtyProgrammer() override;

    [[nodiscard]] SimDevice *device() { return &m_device; }
    [[nodiscard]] const SimDevice *device() const { return &m_device; }
    [[nodiscard]] QString linkPath() const { return m_linkPath; }
    /// The pty's slave device the link points at.
    [[nodiscard]] QString slavePath() const { return m_slavePath; }
    /// The app holds the port open.
    [[nodiscard]] bool isPortOpen() const { return m_portOpen; }
    /// False once unplugged.
    [[nodiscard]] bool isPlugged() const { return m_master >= 0; }

    /// The device vanishes, as when its USB cable is pulled: the pty is closed (the app's reads
    /// fail) and the link removed.
    void unplug();

Q_SIGNALS:
    void portOpened();
    void portClosed();
    void unplugged();

private:
    PtyProgrammer(int master, QString slavePath, QString linkPath, const DeviceOptions &options,
                  OpenDetection detection);

    void onInotify();
    void checkHangup();
    [[nodiscard]] bool hungUp() const;
    bool watchSlave(bool on);
    void dropStaleInput();
    void setPortOpen(bool open);
    void readMaster();
    [[nodiscard]] qint64 readBudget();
    void write(const QByteArray &bytes);
    void flushOutput();
    void dropOutput();
    void closeAll();

    SimDevice m_device;
    int m_master = -1;
    int m_inotify = -1;
    int m_watch = -1;
    /// How many opens of the slave the watch saw that are not closed yet: a session ends with
    /// the last close, not with any (the app may open the port again before an older
    /// descriptor's close is told).
    int m_openers = 0;
    bool m_staleInput = false; // a session ended; its leftovers are still to be dropped
    QString m_slavePath;
    QString m_linkPath;
    bool m_portOpen = false;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QSocketNotifier *m_inotifyNotifier = nullptr;
    QTimer m_readResume;          // re-enables reading when the rate limit allows more
    QTimer m_splitTimer;          // paces the one-byte writes of split replies
    QTimer m_openAnswer;          // holds the replies of a session's first moments
    QTimer m_hangupPoll;          // open detection where inotify is missing
    QList<QByteArray> m_outQueue; // writes not yet taken by the pty, in order
    QElapsedTimer m_rateClock;
    qint64 m_rateLastNs = 0;
    double m_rateCredit = 0; // bytes that may be read now under the rate limit
};

} // namespace vell::sim
