#pragma once

// A PostgreSQL server of the test's own: Debian's `postgresql` binaries (initdb, pg_ctl,
// postgres, psql under /usr/lib/postgresql/N/bin, the newest N), a cluster in a temporary
// folder, listening on a Unix socket in that folder only, stopped and removed at the end. The
// server refuses to run as root: as root (CI) it runs as `nobody`, through runuser. Its one
// role, the superuser `vell`, logs in with a password (scram-sha-256), as a line's would.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <unistd.h>

#include <optional>

namespace vell::test {

class PgServer
{
public:
    static constexpr const char *kUser = "vell";
    static constexpr const char *kPassword = "s3cret-Pa55:word/@";

    /// Off: the tests' server, which need not outlive a crash; On: as a line's server runs.
    enum class Fsync
    {
        Off,
        On,
    };

    explicit PgServer(Fsync fsync = Fsync::Off)
        : m_bin(findBin()), m_dir(rootFolder() + QStringLiteral("/vell-pg-XXXXXX")), m_fsync(fsync)
    {
    }
    ~PgServer()
    {
        if (m_running)
            stop(QStringLiteral("immediate"));
    }
    PgServer(const PgServer &) = delete;
    PgServer &operator=(const PgServer &) = delete;

    /// The folder of the server's binaries; empty when none is installed.
    [[nodiscard]] static QString findBin()
    {
        const QDir lib(QStringLiteral("/usr/lib/postgresql"));
        QString best;
        int bestVersion = -1;
        for (const QString &v : lib.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QString bin = lib.filePath(v) + QStringLiteral("/bin");
            if (QFile::exists(bin + QStringLiteral("/postgres")) &&
                QFile::exists(bin + QStringLiteral("/initdb")) && v.toInt() > bestVersion) {
                best = bin;
                bestVersion = v.toInt();
            }
        }
        return best;
    }
    /// Why no server can run here (empty when one can).
    [[nodiscard]] QString unavailable() const
    {
        if (m_bin.isEmpty())
            return QStringLiteral("no PostgreSQL server installed (/usr/lib/postgresql/*/bin/"
                                  "postgres): install Debian's postgresql package");
        if (!m_dir.isValid())
            return QStringLiteral("no temporary folder for the server");
        return {};
    }

    /// Makes the cluster (the first time) and starts the server; false, with why(), when not.
    bool start()
    {
        if (!unavailable().isEmpty()) {
            m_why = unavailable();
            return false;
        }
        if (!m_made) {
            if (root())
                chownToServer(m_dir.path());
            const QString pw = m_dir.filePath(QStringLiteral("pw"));
            QFile file(pw);
            if (!file.open(QIODevice::WriteOnly) || file.write(kPassword) < 0)
                return failed(QStringLiteral("cannot write the password file"));
            file.close();
            if (root())
                chownToServer(pw);
            if (!asServer(QStringLiteral("initdb"),
                          {QStringLiteral("-D"), dataDir(), QStringLiteral("-U"),
                           QString::fromLatin1(kUser), QStringLiteral("--auth=scram-sha-256"),
                           QStringLiteral("--pwfile=") + pw, QStringLiteral("-E"),
                           QStringLiteral("UTF8"), QStringLiteral("--no-locale"),
                           QStringLiteral("-N")}))
                return false;
            QFile::remove(pw);
            m_made = true;
        }
        if (!asServer(
                QStringLiteral("pg_ctl"),
                {QStringLiteral("-D"), dataDir(), QStringLiteral("-l"),
                 m_dir.filePath(QStringLiteral("server.log")), QStringLiteral("-w"),
                 QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("-o"),
                 QStringLiteral("-k %1 -c listen_addresses= -c max_connections=40%2")
                     .arg(m_dir.path(), m_fsync == Fsync::Off ? QStringLiteral(" -F") : QString()),
                 QStringLiteral("start")}))
            return false;
        m_running = true;
        return true;
    }
    /// Stops the server: "fast" ends its sessions first, "immediate" does not.
    bool stop(const QString &mode = QStringLiteral("fast"))
    {
        m_running = false;
        return asServer(QStringLiteral("pg_ctl"),
                        {QStringLiteral("-D"), dataDir(), QStringLiteral("-m"), mode,
                         QStringLiteral("-w"), QStringLiteral("stop")});
    }
    [[nodiscard]] QString why() const { return m_why; }
    /// The folder of the server's socket (and its data).
    [[nodiscard]] QString socketFolder() const { return m_dir.path(); }

    /// The URL of database as user, with the password inside it unless it is empty.
    [[nodiscard]] QString url(const QString &database = QStringLiteral("line"),
                              const QString &password = QString::fromLatin1(kPassword),
                              const QString &user = QString::fromLatin1(kUser)) const
    {
        QString u =
            QStringLiteral("postgresql://") + QString::fromLatin1(QUrl::toPercentEncoding(user));
        if (!password.isEmpty())
            u += u':' + QString::fromLatin1(QUrl::toPercentEncoding(password));
        return u + QStringLiteral("@/") + database + QStringLiteral("?host=") +
               QString::fromLatin1(QUrl::toPercentEncoding(socketFolder()));
    }

    /// Runs sql with psql as the superuser on database: its output (unaligned, tuples only),
    /// or nothing when it failed (why() says why).
    std::optional<QString> sql(const QString &sql, const QString &database = QStringLiteral("line"),
                               int timeoutMs = 60000)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PGPASSWORD"), QString::fromLatin1(kPassword));
        p.setProcessEnvironment(env);
        p.start(m_bin + QStringLiteral("/psql"),
                {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-At"),
                 QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-h"),
                 socketFolder(), QStringLiteral("-U"), QString::fromLatin1(kUser),
                 QStringLiteral("-d"), database, QStringLiteral("-c"), sql});
        if (!p.waitForFinished(timeoutMs) || p.exitStatus() != QProcess::NormalExit ||
            p.exitCode() != 0) {
            m_why = QStringLiteral("psql: ") + QString::fromUtf8(p.readAllStandardError());
            return std::nullopt;
        }
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }

private:
    [[nodiscard]] static bool root() { return geteuid() == 0; }
    /// A server run as nobody must reach its folder: under /tmp when root.
    [[nodiscard]] static QString rootFolder()
    {
        return root() ? QStringLiteral("/tmp") : QDir::tempPath();
    }
    [[nodiscard]] QString dataDir() const { return m_dir.filePath(QStringLiteral("data")); }

    static void chownToServer(const QString &path)
    {
        QProcess::execute(QStringLiteral("chown"), {QStringLiteral("nobody:"), path});
    }

    bool failed(const QString &why)
    {
        m_why = why;
        return false;
    }

    /// Runs one of the server's programs, as nobody when root.
    bool asServer(const QString &program, const QStringList &arguments)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.setWorkingDirectory(m_dir.path());
        const QString path = m_bin + u'/' + program;
        if (root())
            p.start(QStringLiteral("runuser"),
                    QStringList{QStringLiteral("-u"), QStringLiteral("nobody"),
                                QStringLiteral("--"), path} +
                        arguments);
        else
            p.start(path, arguments);
        if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit ||
            p.exitCode() != 0)
            return failed(program + QStringLiteral(": ") + QString::fromUtf8(p.readAll()) +
                          p.errorString());
        return true;
    }

    QString m_bin;
    QTemporaryDir m_dir;
    QString m_why;
    Fsync m_fsync;
    bool m_made = false;
    bool m_running = false;
};

} // namespace vell::test
