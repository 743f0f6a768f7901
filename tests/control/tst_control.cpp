// Guards the station service as a line's control software meets it: a real station (--serve)
// on simulated programmers and real clients on its socket: every command and error code, a
// step's events to its client and to a subscriber alike, busy while a step runs, careless and
// hostile clients, another user refused, the socket's place, SIGTERM mid-step, --control.
#include "common/files.h"
#include "common/process.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QtTest>

#include <csignal>
#include <functional>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

using namespace vell;

namespace {

const QString kApp = QStringLiteral(VELL_APP_BIN);

/// A client on a station's control socket. What arrives is kept as it arrives, so the lines the
/// station sent before it closed the connection are still read.
struct Client
{
    explicit Client(const QString &path)
    {
        QObject::connect(&socket, &QLocalSocket::readyRead, &socket,
                         [this] { arrived += socket.readAll(); });
        // A station slow to accept leaves the socket connecting, when nothing can be written.
        QObject::connect(&socket, &QLocalSocket::connected, &socket,
                         [this] { socket.write(std::exchange(waiting, {})); });
        socket.connectToServer(path);
    }
    void send(const QByteArray &line)
    {
        if (socket.state() == QLocalSocket::ConnectedState)
            socket.write(line + '\n');
        else
            waiting += line + '\n';
    }
    /// The next object that arrives within 30 s (empty: none).
    QJsonObject next()
    {
        QSignalSpy more(&socket, &QLocalSocket::readyRead);
        while (!arrived.contains('\n') && more.wait(30000)) {
        }
        const qsizetype end = arrived.indexOf('\n');
        const QJsonObject object = QJsonDocument::fromJson(arrived.left(end)).object();
        arrived.remove(0, end + 1);
        return object;
    }
    /// Every object up to the first summary (or error) for id, that one included.
    QList<QJsonObject> untilSummary(const QJsonValue &id)
    {
        QList<QJsonObject> all{next()};
        while (!all.last().isEmpty() && all.last()["id"] == id &&
               all.last()["event"] != "summary" && !all.last().contains("error"))
            all << next();
        return all;
    }
    QLocalSocket socket;
    QByteArray arrived, waiting;
};

sockaddr_un addressOf(const QString &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path);
    return address;
}

QList<QJsonObject> records(const QString &log)
{
    QList<QJsonObject> found;
    for (const QByteArray &line : test::readFile(log).split('\n')) {
        if (!line.isEmpty())
            found << QJsonDocument::fromJson(line).object();
    }
    return found;
}

} // namespace

class TstControl : public QObject
{
    Q_OBJECT
    QTemporaryDir m_home, m_ports, m_sockets;
    std::unique_ptr<test::Simulator> m_sim;
    QProcess m_station;
    QString m_socket, m_log, m_approved;
    QByteArray m_said;

    /// The station has said text (stdout or stderr) by now.
    bool said(const QByteArray &text)
    {
        m_said += m_station.readAll();
        return m_said.contains(text);
    }

    /// A station process with arguments besides --serve, its stderr beside its stdout.
    void serve(QProcess &station, const QStringList &arguments)
    {
        test::prepare(station, m_home.path());
        station.setProcessChannelMode(QProcess::MergedChannels);
        station.start(kApp, QStringList{"--serve"} + arguments);
    }

private Q_SLOTS:
    // One station for the class, its socket in a folder open to all, pinned: programmers on
    // COM1 taking 400 kB/s (a load of 1 MiB lasts seconds), COM2 whose boards fail, COM3 whose
    // boards never answer (its steps end after --timeout).
    void initTestCase()
    {
        QVERIFY(QFile::setPermissions(m_sockets.path(), test::kEveryone));
        m_socket = m_sockets.filePath("control");
        m_log = m_home.filePath("attempts.jsonl");
        m_approved = m_home.filePath("approved.bin");
        const QByteArray image = test::pattern(1 << 20);
        QVERIFY(test::writeFile(m_approved, image));
        m_sim = std::make_unique<test::Simulator>(
            m_home.path(), m_ports.path(),
            QStringList{"COM1:rate=400000", "COM2:targeterr=10", "COM3:interval=60000"});
        serve(m_station, {"--ports", m_ports.path(), "--control-socket", m_socket, "--log", m_log,
                          "--timeout", "2", "--expect-sha256",
                          QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()});
        QTRY_VERIFY_WITH_TIMEOUT(said("Listening on " + m_socket.toUtf8()), 15000);
        QCOMPARE(QFileInfo(m_socket).permissions() & ~QFile::Permissions(0x0700),
                 QFile::ReadOwner | QFile::WriteOwner);
    }

    void requests_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QJsonValue>("value");
        const QByteArray folder = m_home.path().toUtf8();
        QVERIFY(test::writeFile(m_home.filePath("other.bin"), test::pattern(600)));
        QFile big(m_home.filePath("big.bin"));
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(16 << 20));
        QTest::newRow("not JSON") << QByteArray("{\"command\":") << "error"
                                  << QJsonValue("bad-request");
        QTest::newRow("not UTF-8") << QByteArray("{\"command\":\"status\",\"id\":\"\xff\"}")
                                   << "error" << QJsonValue("bad-request");
        QTest::newRow("an id over 1 KiB")
            << QByteArray("{\"command\":\"status\",\"id\":\"" + QByteArray(1100, 'i') + "\"}")
            << "error" << QJsonValue("bad-request");
        QTest::newRow("not an object")
            << QByteArray("[\"status\"]") << "error" << QJsonValue("bad-request");
        QTest::newRow("a wrong type") << QByteArray("{\"command\":\"load\",\"file\":\"/a\","
                                                    "\"black_box\":\"yes\"}")
                                      << "error" << QJsonValue("bad-request");
        QTest::newRow("a field the command does not take")
            << QByteArray("{\"command\":\"status\",\"programmers\":[1]}") << "error"
            << QJsonValue("bad-request");
        QTest::newRow("programmer 5") << QByteArray("{\"command\":\"program-target\","
                                                    "\"programmers\":[5]}")
                                      << "error" << QJsonValue("bad-request");
        QTest::newRow("programmer not in use")
            << QByteArray("{\"command\":\"load\",\"file\":\"" + folder +
                          "/approved.bin\","
                          "\"programmers\":[4]}")
            << "error" << QJsonValue("bad-request");
        QTest::newRow("a board on a COM not in use")
            << QByteArray(R"({"command":"program-target","boards":{"COM9":"SN-1"}})") << "error"
            << QJsonValue("bad-request");
        QTest::newRow("a board serial of 65 characters")
            << QByteArray("{\"command\":\"program-target\",\"boards\":{\"COM1\":\"" +
                          QByteArray(65, 'S') + "\"}}")
            << "error" << QJsonValue("bad-request");
        QTest::newRow("nothing to retry yet")
            << QByteArray("{\"command\":\"retry-failed\"}") << "error" << QJsonValue("bad-request");
        QTest::newRow("unknown command")
            << QByteArray("{\"id\":7,\"command\":\"flash\"}") << "id" << QJsonValue(7);
        QTest::newRow("unknown command's code")
            << QByteArray("{\"command\":\"flash\"}") << "error" << QJsonValue("unknown-command");
        QTest::newRow("no such file") << QByteArray("{\"command\":\"load\",\"file\":\"/no/b.bin\"}")
                                      << "error" << QJsonValue("file");
        QTest::newRow("a folder") << QByteArray("{\"command\":\"load\",\"file\":\"" + folder +
                                                "\"}")
                                  << "error" << QJsonValue("file");
        QTest::newRow("over the size limit")
            << QByteArray("{\"command\":\"load\",\"file\":\"" + folder + "/big.bin\"}") << "error"
            << QJsonValue("file");
        QTest::newRow("not approved")
            << QByteArray("{\"command\":\"load\",\"file\":\"" + folder + "/other.bin\"}")
            << "sha256"
            << QJsonValue(
                   QString(QCryptographicHash::hash(test::pattern(600), QCryptographicHash::Sha256)
                               .toHex()));
        QTest::newRow("status") << QByteArray("{\"id\":{\"a\":[1]},\"command\":\"status\"}") << "id"
                                << QJsonValue(QJsonObject{{"a", QJsonArray{1}}});
        QTest::newRow("idle") << QByteArray("{\"command\":\"status\"}") << "state"
                              << QJsonValue("idle");
        QTest::newRow("unsubscribe")
            << QByteArray("{\"command\":\"unsubscribe\"}") << "subscribed" << QJsonValue(false);
    }
    // Each request before any step, a reply each; nothing was recorded.
    void requests()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, field);
        QFETCH(QJsonValue, value);
        Client client(m_socket);
        client.send(line);
        const QJsonObject reply = client.next();
        QVERIFY2(reply[field] == value, QJsonDocument(reply).toJson());
        QCOMPARE(reply.contains("error"),
                 field == "error" || field == "sha256" || line.contains("flash"));
        QVERIFY(records(m_log).isEmpty());
    }

    // A load from one client with another subscribed: both see the same events with its id,
    // a third client meanwhile is told busy; the records carry the id. Then --control runs a
    // program-target (board 2 fails, board 3 never answers: exit 1) and a load of a file that
    // is not there (refused: exit 2); a program-target on programmer 1 names its board,
    // retry-failed repeats the others, and search finds all three again.
    void stepsThroughTheSocket()
    {
        Client a(m_socket), b(m_socket), c(m_socket);
        b.send(R"({"command":"subscribe"})");
        QCOMPARE(b.next()["subscribed"], true);
        a.send(
            QStringLiteral(R"({"id":"a","command":"load","file":"%1"})").arg(m_approved).toUtf8());
        QCOMPARE(a.next(), QJsonObject({{"id", "a"}, {"accepted", true}}));
        c.send(R"({"id":"c","command":"program-target"})");
        const QJsonObject busy = c.next();
        QCOMPARE(busy["error"], "busy");
        QCOMPARE(busy["running"], "a");
        const QList<QJsonObject> events = a.untilSummary("a");
        QCOMPARE(b.untilSummary("a"), events);
        QCOMPARE(events.last()["event"], "summary");
        QCOMPARE(events.last()["exit"], 0);
        QVERIFY(events.size() > 10); // status, progress and result events on the way
        QStringList requestIds;
        for (const QJsonObject &r : records(m_log))
            requestIds << r["step"].toString() + ' ' + r["request_id"].toString();
        QCOMPARE(requestIds, QStringList(3, "load a"));

        test::Run run = test::run(
            kApp, {"--control", "program-target", "--control-socket", m_socket}, m_home.path());
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.out.contains("Programmer 1 (COM 1): Board Programmed OK"),
                 qPrintable(run.err));
        QVERIFY(run.out.last().startsWith("Summary: program target succeeded on 1 of 3"));
        QVERIFY(
            run.out.last().contains("Programmer 3 (COM 3) program target: no result within 2 s"));
        run = test::run(
            kApp, {"--control", "load", "--file", "/no/such.bin", "--control-socket", m_socket},
            m_home.path());
        QCOMPARE(run.exitCode, 2); // refused: file
        QVERIFY2(run.err.contains("/no/such.bin"), qPrintable(run.err));
        a.send(R"({"id":"b","command":"program-target","programmers":[1],)"
               R"("boards":{"COM1":"SN-0042"}})");
        QCOMPARE(a.untilSummary("b").last()["exit"], 0);
        QCOMPARE(records(m_log).last()["board"], "SN-0042");
        QCOMPARE(records(m_log).last()["request_id"], "b");
        a.send(R"({"id":2,"command":"retry-failed"})");
        QCOMPARE(a.next()["accepted"], true);
        const QJsonObject summary = a.untilSummary(2).last();
        QCOMPARE(summary["exit"], 1);
        QCOMPARE(summary["tries"][1],
                 QJsonObject({{"programmer", 3}, {"step", "program-target"}, {"tries", 2}}));
        a.send(R"({"id":3,"command":"search"})");
        QJsonObject found = a.next();
        while (found.contains("event"))
            found = a.next();
        QCOMPARE(found["id"], 3);
        QCOMPARE(found["programmers"].toArray().size(), 3);
        QCOMPARE(found["programmers"][2]["com"], 3);
    }

    // Garbage, a line of 2 MiB (refused, its connection ends), a client gone mid-line, 40
    // connections at once (16 served, the rest told so), and a client that never reads while
    // a load of 1 MiB streams: the load ends OK and is recorded, that client is dropped. A
    // --control client killed mid-load: the load runs on and is recorded.
    void carelessAndHostileClients()
    {
        Client garbage(m_socket), huge(m_socket), gone(m_socket);
        garbage.send(QByteArray("\x01\xfe}{\n\x7f", 6)); // two lines
        QCOMPARE(garbage.next()["error"], "bad-request");
        QCOMPARE(garbage.next()["error"], "bad-request");
        huge.send(QByteArray(2 << 20, 'x'));
        QCOMPARE(huge.next()["error"], "bad-request");
        QTRY_COMPARE_WITH_TIMEOUT(huge.socket.state(), QLocalSocket::UnconnectedState, 30000);
        gone.socket.write("{\"command\":\"load\",\"file\":\"");
        gone.socket.abort();

        std::vector<std::unique_ptr<Client>> crowd;
        for (int i = 0; i < 40; ++i) {
            crowd.push_back(std::make_unique<Client>(m_socket));
            crowd.back()->send(R"({"command":"status"})");
        }
        int served = 0, refused = 0;
        for (auto &client : crowd) {
            const QJsonObject reply = client->next();
            served += reply.contains("state");
            refused += reply["text"] == "too many connections";
        }
        QVERIFY2(served >= 1 && served <= 16 && served + refused == 40,
                 qPrintable(QString("%1 served, %2 refused").arg(served).arg(refused)));
        crowd.clear();

        const int deaf = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const sockaddr_un address = addressOf(m_socket);
        QVERIFY(::connect(deaf, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0);
        const QByteArray asks = QByteArray(R"({"command":"subscribe"})"
                                           "\n") +
                                QByteArray(R"({"command":"status"})"
                                           "\n")
                                    .repeated(10000);
        QProcess control;
        test::prepare(control, m_home.path());
        control.start(kApp,
                      {"--control", "load", "--file", m_approved, "--control-socket", m_socket});
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += control.readAllStandardOutput()).contains("Transferring"),
                                 20000);
        // Sent while the load streams; cut short once the station drops this client.
        ::send(deaf, asks.constData(), size_t(asks.size()), MSG_NOSIGNAL);
        QVERIFY(test::signal(control, SIGKILL));
        const QString id = QStringLiteral("control-%1").arg(control.processId());
        QTRY_COMPARE_WITH_TIMEOUT(records(m_log).size(), 12, 30000);
        QCOMPARE(records(m_log).last()["request_id"], id);
        QCOMPARE(records(m_log).last()["result"], "ok");
        bool dropped = false;
        char buffer[65536];
        for (pollfd p{deaf, POLLIN, 0}; !dropped && ::poll(&p, 1, 5000) > 0;)
            dropped = ::read(deaf, buffer, sizeof buffer) <= 0;
        ::close(deaf);
        QVERIFY(dropped);
        Client after(m_socket);
        after.send(R"({"command":"status"})");
        QCOMPARE(after.next()["state"], "idle");
    }

    // Another user's client is refused, even where the socket's file lets everyone in: its
    // connection ends unanswered, its program-target never runs, the station says whom it
    // refused. The client is a child process as nobody (CI runs as root).
    void anotherUserRefused()
    {
        if (::geteuid() != 0)
            QSKIP("not root: no other user to be");
        QVERIFY(QFile::setPermissions(m_socket, test::kEveryone));
        const int before = records(m_log).size();
        const sockaddr_un address = addressOf(m_socket);
        const pid_t child = ::fork();
        if (child == 0) { // 0: connected and closed unanswered
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(3);
            if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
                ::_exit(2);
            const char ask[] = "{\"command\":\"program-target\"}\n";
            ::send(fd, ask, sizeof ask - 1, MSG_NOSIGNAL);
            char byte = 0;
            pollfd p{fd, POLLIN, 0};
            ::_exit(::poll(&p, 1, 10000) == 1 && ::read(fd, &byte, 1) <= 0 ? 0 : 1);
        }
        int status = -1;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QCOMPARE(WEXITSTATUS(status), 0);
        QTRY_VERIFY_WITH_TIMEOUT(said("Refused a connection to the control socket from user 65534"),
                                 30000);
        QCOMPARE(records(m_log).size(), before);
    }

    // The socket's place: a live station's is refused, naming it; a dead one's is taken over
    // (made mode 0700 in the runtime folder by default); no programmer exits 2; --control
    // without a station exits 4 naming the socket.
    void theSocketsPlace()
    {
        QTemporaryDir empty;
        test::Run run =
            test::run(kApp, {"--serve", "--ports", empty.path(), "--control-socket", m_socket},
                      m_home.path());
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(QString("a station already listens on %1 (process %2)")
                                      .arg(m_socket)
                                      .arg(m_station.processId())),
                 qPrintable(run.err));
        const QString own = m_home.filePath("vell-usb-programmer/control");
        for (int start = 0; start < 2; ++start) {
            QProcess station;
            QSignalSpy ended(&station, &QProcess::finished);
            serve(station, {"--simulate", "1"});
            QByteArray out;
            QTRY_VERIFY_WITH_TIMEOUT(
                (out += station.readAll()).contains(QByteArray("Listening on " + own.toUtf8())),
                15000);
            QCOMPARE(QFileInfo(QFileInfo(own).path()).permissions() & ~QFile::Permissions(0x0700),
                     QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            run = test::run(kApp, {"--control", "status", "--json"}, m_home.path());
            QVERIFY2(QJsonDocument::fromJson(run.out.value(0).toUtf8())["state"] == "idle",
                     qPrintable(run.err));
            QVERIFY(test::signal(station, SIGKILL)); // its socket and lock stay behind
            QVERIFY(ended.wait(10000));
        }
        QVERIFY(QFile::remove(own));
        run = test::run(kApp, {"--control", "status"}, m_home.path());
        QCOMPARE(run.exitCode, 4);
        QVERIFY2(run.err.contains("No station listens on " + own), qPrintable(run.err));
        run = test::run(
            kApp, {"--serve", "--ports", empty.path(), "--control-socket", empty.filePath("s")},
            m_home.path());
        QCOMPARE(run.exitCode, 2);
    }

    // A record the log did not take (a full disk): the step's summary and the station's exit
    // say so with 3, never a success.
    void lostRecordSaysThree()
    {
        QTemporaryDir sockets;
        const QString socket = sockets.filePath("c");
        QProcess station;
        QSignalSpy ended(&station, &QProcess::finished);
        serve(station, {"--simulate", "1", "--control-socket", socket, "--log", "/dev/full"});
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += station.readAll()).contains("Listening on"), 15000);
        const test::Run run = test::run(
            kApp, {"--control", "program-target", "--control-socket", socket}, m_home.path());
        QVERIFY2(run.exitCode == 3, qPrintable(run.err + run.out.join(u'\n')));
        QVERIFY(test::signal(station, SIGTERM));
        QVERIFY(ended.wait(10000));
        QCOMPARE(station.exitCode(), 3);
    }

    void cleanupTestCase()
    {
        QSignalSpy ended(&m_station, &QProcess::finished);
        if (m_station.state() != QProcess::NotRunning) {
            m_station.kill();
            ended.wait(5000);
        }
    }

    // SIGTERM mid-load ends the station: exit 0, both steps recorded without a result with
    // the request's id, and the client told so before its connection ends.
    void sigtermMidStep()
    {
        Client client(m_socket);
        client.send(
            QStringLiteral(R"({"id":"t","command":"load","file":"%1"})").arg(m_approved).toUtf8());
        QJsonObject event = client.next();
        while (event["event"] != "progress")
            event = client.next();
        const int before = records(m_log).size();
        QSignalSpy ended(&m_station, &QProcess::finished);
        QVERIFY(test::signal(m_station, SIGTERM));
        QVERIFY(ended.wait(10000));
        QCOMPARE(m_station.exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_station.exitCode(), 0);
        const QList<QJsonObject> all = records(m_log);
        QCOMPARE(all.size(), before + 3);
        for (const QJsonObject &r : all.mid(before))
            QCOMPARE(r["result"].toString() + ' ' + r["request_id"].toString(), "no-result t");
        const QJsonObject summary = client.untilSummary("t").last();
        QCOMPARE(summary["exit"], 1);
    }
};

QTEST_GUILESS_MAIN(TstControl)
#include "tst_control.moc"
