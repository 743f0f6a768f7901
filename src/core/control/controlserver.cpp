#include "controlserver.h"

#include "logging.h"
#include "texts.h"

#include "app/attempt.h"
#include "app/events.h"
#include "app/station.h"
#include "load/programfile.h"
#include "model/pane.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <utility>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace vell::control {

using model::ProgrammerNumber;
using model::ProgrammerSet;

namespace {

/// Bytes taken from a socket at a time: the line being read stays bounded by the line limit.
constexpr qint64 kReadChunk = 64 * 1024;
/// A refused connection stays open this long at most for its client to read why, and so many
/// at a time; past that it is closed at once.
constexpr int kRefusalMs = 2000;
constexpr int kRefusingLimit = 64;

// The exit codes a headless run of a step would end with.
constexpr int kExitSuccess = 0;
constexpr int kExitFailed = 1;
constexpr int kExitRefused = 2;
constexpr int kExitRecordLost = 3;

#ifdef Q_OS_UNIX
/// The user on the other end of a connected local socket, or -1 when the system does not say.
qint64 peerUid(qintptr descriptor)
{
#ifdef SO_PEERCRED
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0)
        return credentials.uid;
#else
    uid_t uid = 0;
    gid_t gid = 0;
    if (::getpeereid(int(descriptor), &uid, &gid) == 0)
        return uid;
#endif
    return -1;
}
#endif

} // namespace

ControlServer::ControlServer(int retries, int timeoutSeconds, QObject *parent)
    : QObject(parent), m_retries(std::max(retries, 0)),
      m_timeoutSeconds(std::clamp(timeoutSeconds, 1, INT_MAX / 1000))
{
}

ControlServer::~ControlServer()
{
    close();
    m_server.reset(); // its sockets leave the connections while these are still there
}

QString ControlServer::defaultPath()
{
#ifdef Q_OS_UNIX
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return QDir(runtime).filePath(QStringLiteral("vell-usb-programmer/control"));
    // The temporary folder is everyone's: the folder is this user's by its name and owner.
    return QDir::temp().filePath(
        QStringLiteral("vell-usb-programmer-%1/control").arg(qulonglong(::geteuid())));
#else
    // A named pipe, this user's alone (QLocalServer::UserAccessOption).
    return QStringLiteral("vell-usb-programmer-control-") + qEnvironmentVariable("USERNAME");
#endif
}

bool ControlServer::claim(const QString &path)
{
#ifdef Q_OS_UNIX
    m_path = path.isEmpty() ? defaultPath() : QFileInfo(path).absoluteFilePath();
    const QString folder = QFileInfo(m_path).absolutePath();
    // A folder given that exists is the user's choice; the default one, or one made here, is
    // this station's alone.
    if (path.isEmpty() || !QFileInfo::exists(folder)) {
        if (!QDir().mkpath(folder)) {
            m_error = texts::cannotUse(m_path, texts::kCannotMakeFolder);
            return false;
        }
        if (QFileInfo(folder).ownerId() != ::geteuid()) {
            m_error = texts::cannotUse(m_path, texts::kFolderNotOurs);
            return false;
        }
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    const QString lock = m_path + QStringLiteral(".lock");
#else
    m_path = path.isEmpty() ? defaultPath() : path;
    const QString lock =
        QDir::temp().filePath(QFileInfo(m_path).fileName() + QStringLiteral(".lock"));
#endif
    m_lock = std::make_unique<QLockFile>(lock);
    // Only a dead holder makes the lock stale, however long its station has run.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0))
        return true;
    if (m_lock->error() == QLockFile::LockFailedError) {
        qint64 pid = 0;
        QString host;
        QString application;
        m_lock->getLockInfo(&pid, &host, &application);
        m_error = texts::alreadyListens(m_path, pid);
    } else {
        m_error = texts::cannotUse(m_path, texts::cannotMakeLock(lock));
    }
    m_lock.reset();
    return false;
}

bool ControlServer::listen(app::Station &station)
{
    if (!m_lock) {
        m_error = texts::cannotUse(m_path, texts::kNotClaimed);
        return false;
    }
    // The lock is held: a socket file there was left by a station that died.
    QLocalServer::removeServer(m_path);
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server.get(), &QLocalServer::newConnection, this, &ControlServer::onNewConnection);
    if (!m_server->listen(m_path)) {
        m_error = texts::cannotUse(m_path, m_server->errorString());
        return false;
    }
    QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner);
    m_station = &station;
    station.holdUntilFinished(m_timeoutSeconds * 1000);
    connect(&station, &app::Station::statusChanged, this,
            [this](ProgrammerNumber n, const QString &text) {
                if (!m_station->programmers().inUse(n))
                    return;
                tell(app::events::status(n, text));
                if (const auto progress = app::events::progress(n, m_station->state(n)))
                    tell(*progress);
            });
    connect(&station, &app::Station::promptChanged, this,
            [this](const QString &text) { tell(app::events::prompt(text)); });
    connect(&station, &app::Station::attemptEnded, this,
            [this](const app::Attempt &attempt) { tell(app::events::result(attempt)); });
    connect(&station, &app::Station::portUnusable, this,
            [this](const discovery::ProgrammerSearch::UnusablePort &port) {
                tell(app::events::portUnusable(port));
            });
    connect(&station, &app::Station::operationFinished, this, &ControlServer::onOperationFinished);
    // The operator's own step: told to the subscribers, with no id.
    connect(&station, &app::Station::busyChanged, this, [this](bool busy) {
        if (busy && !m_running)
            m_running.emplace();
    });
    connect(&station, &app::Station::searchFinished, this, [this] {
        if (!m_running || !m_running->search)
            return;
        m_station->showFoundProgrammers();
        const Running search = *std::exchange(m_running, std::nullopt);
        if (search.client)
            reply(search.client, search.id, status());
    });

    qCDebug(lcControl) << "listening on" << m_path;
    return true;
}

void ControlServer::close()
{
    // The event loop that would see its operation finish has ended; its steps have.
    if (m_running && m_running->operation && !m_running->operation->hasFinished()) {
        m_running->retriesLeft = 0;
        onOperationFinished(m_running->operation->result());
    }
    if (m_station)
        m_station->disconnect(this);
    m_running.reset();
    for (auto &[socket, connection] : m_connections) {
        if (connection.closing)
            continue;
        connection.closing = true;
        socket->flush();
        socket->disconnectFromServer();
    }
    if (m_server)
        m_server->close();
}

bool ControlServer::busy() const
{
    return m_running || (m_station && (m_station->busy() || m_station->search().isRunning()));
}

void ControlServer::onNewConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
#ifdef Q_OS_UNIX
        // Whatever the file's mode, only this user's programs come in.
        if (const qint64 uid = peerUid(socket->socketDescriptor()); uid != qint64(::geteuid())) {
            Q_EMIT notice(texts::refusedPeer(uid));
            socket->abort();
            socket->deleteLater();
            continue;
        }
#endif
        if (m_connections.size() >= std::size_t(kConnectionLimit)) {
            refuseConnection(socket);
            continue;
        }
        m_connections[socket];
        connect(socket, &QObject::destroyed, this, [this, socket] { m_connections.erase(socket); });
        // What Qt reads ahead for a client stays bounded too.
        socket->setReadBufferSize(kReadChunk);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        onReadyRead(socket);
    }
}

void ControlServer::refuseConnection(QLocalSocket *socket)
{
    socket->write(app::events::line({{QStringLiteral("id"), QJsonValue()},
                                     {QStringLiteral("error"), errorName(ErrorCode::Busy)},
                                     {QStringLiteral("text"), texts::kTooManyConnections}}));
#ifdef Q_OS_UNIX
    // Closed at once, a request the client is still sending would fail to arrive and take the
    // answer with it on the client's side. So only this side is ended: what the client sends
    // is dropped unread until it closes, or the refusal's time is up.
    if (m_refusing < kRefusingLimit && socket->flush() && socket->bytesToWrite() == 0 &&
        ::shutdown(int(socket->socketDescriptor()), SHUT_WR) == 0) {
        ++m_refusing;
        connect(socket, &QObject::destroyed, this, [this] { --m_refusing; });
        socket->setReadBufferSize(kReadChunk);
        connect(socket, &QLocalSocket::readyRead, socket,
                [socket] { socket->skip(socket->bytesAvailable()); });
        QTimer::singleShot(kRefusalMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        return;
    }
#endif
    socket->disconnectFromServer();
}

void ControlServer::onReadyRead(QLocalSocket *socket)
{
    auto it = m_connections.find(socket);
    while (it != m_connections.end() && !it->second.closing && socket->bytesAvailable() > 0) {
        Connection &connection = it->second;
        const QByteArray chunk = socket->read(kReadChunk);
        connection.pending += chunk;
        // Each whole line in turn; what follows the last one waits for the rest.
        qsizetype start = 0;
        while (!connection.closing) {
            const qsizetype end = connection.pending.indexOf('\n', start);
            if (end < 0 || end - start > kLineLimit)
                break;
            QByteArrayView line(connection.pending.constData() + start, end - start);
            start = end + 1;
            if (line.endsWith('\r'))
                line.chop(1);
            if (!line.trimmed().isEmpty())
                handle(socket, line);
        }
        connection.pending.remove(0, start);
        if (!connection.closing && connection.pending.size() > kLineLimit) {
            refuse(socket, QJsonValue(), ErrorCode::BadRequest, texts::kLineTooLong);
            connection.closing = true;
            connection.pending.clear();
            socket->disconnectFromServer();
        }
    }
}

void ControlServer::handle(QLocalSocket *socket, QByteArrayView line)
{
    const auto parsed = ControlRequest::parse(line);
    if (const auto *refusal = std::get_if<ControlRequest::Refusal>(&parsed)) {
        refuse(socket, refusal->id, refusal->code, refusal->text);
        return;
    }
    const ControlRequest &request = std::get<ControlRequest>(parsed);
    qCDebug(lcControl) << "request" << commandName(request.command) << request.id;
    switch (request.command) {
    case Command::Status:
        reply(socket, request.id, status());
        return;
    case Command::Subscribe:
    case Command::Unsubscribe:
        m_connections[socket].subscribed = request.command == Command::Subscribe;
        reply(socket, request.id,
              {{QStringLiteral("subscribed"), request.command == Command::Subscribe}});
        return;
    case Command::Search:
    case Command::Load:
    case Command::ProgramTarget:
    case Command::RetryFailed:
        break;
    }
    if (busy()) {
        const bool searching = m_running ? m_running->search : !m_station->busy();
        refuse(socket, request.id, ErrorCode::Busy,
               searching ? texts::kSearchRuns : texts::kStepRuns,
               {{QStringLiteral("running"), m_running ? m_running->id : QJsonValue()}});
        return;
    }
    if (request.command == Command::Search) {
        m_running.emplace();
        m_running->id = request.id;
        m_running->client = socket;
        m_running->search = true;
        m_station->searchAgain();
        return;
    }
    startStep(socket, request);
}

void ControlServer::startStep(QLocalSocket *socket, const ControlRequest &request)
{
    app::Station &station = *m_station;
    const auto badRequest = [&](const QString &why) {
        refuse(socket, request.id, ErrorCode::BadRequest, why);
    };
    if (station.programmers().presentCount() == 0)
        return badRequest(texts::kNoProgrammers);
    for (const ProgrammerNumber n : request.programmers.value_or(ProgrammerSet())) {
        if (!station.programmers().inUse(n))
            return badRequest(texts::notInUse(n.value()));
    }
    app::Request step{request.id, {}};
    for (auto it = request.boards.begin(); it != request.boards.end(); ++it) {
        std::optional<ProgrammerNumber> on;
        for (const ProgrammerNumber n : station.programmers().inUse()) {
            if (station.state(n).present && station.state(n).comPort == it.key())
                on = n;
        }
        if (!on)
            return badRequest(texts::comNotInUse(it.key()));
        if (const QString why = station.programmers().boardRules().reason(it.value());
            !why.isEmpty())
            return badRequest(texts::boardRefused(it.key(), why));
        step.boards[*on] = it.value();
    }
    if (request.command == Command::RetryFailed) {
        if (const QString why = station.nothingToRetry(); !why.isEmpty())
            return badRequest(why);
    }
    if (request.command == Command::Load) {
        // Checked as the load will check it, so a refusal reaches the client, not the operator.
        load::ProgramFile file;
        const model::ImagePin &pin = station.programmers().approvedImage();
        switch (file.open(request.file, pin)) {
        case load::ProgramFile::Refusal::None:
            break;
        case load::ProgramFile::Refusal::NotApproved:
            return refuse(socket, request.id, ErrorCode::NotApproved, file.refusalLine(),
                          {{QStringLiteral("sha256"), file.identity().sha256},
                           {QStringLiteral("crc32"), file.identity().crc32},
                           {QStringLiteral("expected_sha256"), record::orNull(pin.sha256)},
                           {QStringLiteral("expected_crc32"), record::orNull(pin.crc32)}});
        default:
            return refuse(socket, request.id, ErrorCode::File,
                          texts::fileRefused(request.file, file.refusalLine()));
        }
    }

    reply(socket, request.id, {{QStringLiteral("accepted"), true}});
    m_running.emplace();
    Running &running = *m_running;
    running.id = request.id;
    running.client = socket;
    running.command = request.command;
    running.file = request.file;
    running.asked = request;
    running.request = step;
    running.retriesLeft = m_retries;
    running.lostBefore = station.lostRecords();
    if (request.command == Command::Load) {
        running.options = std::pair{station.restoreDefaults(), station.blackBox()};
        station.setRestoreDefaults(request.restoreDefaults);
        station.setBlackBox(request.blackBox);
    }
    app::Operation *operation = run(request);
    if (operation)
        follow(operation);
    else if (m_running)
        sum(); // nothing began: the summary says so
}

void ControlServer::follow(app::Operation *operation)
{
    if (m_running && !operation->hasFinished())
        m_running->operation = operation;
}

app::Operation *ControlServer::run(const ControlRequest &request)
{
    app::Station &station = *m_station;
    const app::Request &step = m_running->request;
    switch (request.command) {
    case Command::Load:
        return request.programmers
                   ? station.loadProgramFileInto(request.file, *request.programmers, step)
                   : station.loadProgramFile(request.file, step);
    case Command::ProgramTarget:
        return request.programmers ? station.programTargetOn(*request.programmers, step)
                                   : station.programTarget(step);
    case Command::RetryFailed:
        return station.retryFailed(step);
    default:
        return nullptr;
    }
}

bool ControlServer::repeat()
{
    if (!m_running)
        return false;
    Running &running = *m_running;
    app::Station &station = *m_station;
    // Only this step's programmers that failed, and only where the station can repeat it now.
    const model::Step step =
        running.result.load.asked ? model::Step::Load : model::Step::ProgramTarget;
    ProgrammerSet again;
    for (const ProgrammerNumber n : running.result.inUse) {
        const auto steps = station.paneSteps(n);
        if (!running.result.succeeded(step, n) &&
            std::find(steps.begin(), steps.end(), step) != steps.end())
            again.insert(n);
    }
    if (again.isEmpty())
        return false;
    app::Operation *operation = nullptr;
    switch (running.command) {
    case Command::Load:
        operation = station.loadProgramFileInto(running.file, again, running.request);
        break;
    case Command::ProgramTarget:
        operation = station.programTargetOn(again, running.request);
        break;
    default:
        operation = station.retryFailed(running.request);
        break;
    }
    if (operation)
        follow(operation);
    return operation != nullptr;
}

void ControlServer::onOperationFinished(const app::OperationResult &result)
{
    if (!m_running)
        m_running.emplace(); // the operator's step that ended as it began
    Running &running = *m_running;
    app::RunResult::StepRun &run = running.result.run(result.step);
    const bool tried = std::any_of(run.last.begin(), run.last.end(),
                                   [](const auto &last) { return last.has_value(); });
    run.asked = true;
    // A repeat refused (the file went away meanwhile) leaves the last tries' results.
    run.refused = result.refused && !tried;
    running.result.inUse = running.result.inUse | result.programmers;
    for (const ProgrammerNumber n : result.programmers) {
        running.result.comPorts[n] = m_station->state(n).comPort;
        if (result.steps[n])
            run.last[n] = result.steps[n];
    }
    if (!result.refused && running.result.failed(result.step) && running.retriesLeft > 0) {
        --running.retriesLeft;
        // Once the station has let go of this operation.
        QTimer::singleShot(0, this, [this] {
            if (!repeat())
                sum();
        });
        return;
    }
    sum();
}

void ControlServer::sum()
{
    if (!m_running || m_running->search)
        return;
    Running running = *std::exchange(m_running, std::nullopt);
    app::Station &station = *m_station;
    // The operator's choice of options comes back, unless the operator changed it meanwhile.
    if (running.options && std::pair{station.restoreDefaults(), station.blackBox()} ==
                               std::pair{running.asked.restoreDefaults, running.asked.blackBox}) {
        station.setRestoreDefaults(running.options->first);
        station.setBlackBox(running.options->second);
    }
    app::RunResult &result = running.result;
    for (const ProgrammerNumber n : result.inUse)
        result.tallies[n] = station.tally(n);
    result.imageText = station.imageText();
    result.image = station.image();
    result.lostRecords = station.lostRecords() - running.lostBefore;
    result.logProblem = station.logProblem();
    result.timeoutSeconds = m_timeoutSeconds;
    result.runId = app::runId();
    const model::Step step = result.load.asked ? model::Step::Load : model::Step::ProgramTarget;
    int exit = result.failed(step) ? kExitFailed : kExitSuccess;
    if (result.lostRecords > 0)
        exit = kExitRecordLost;
    if (result.run(step).refused || result.inUse.isEmpty())
        exit = kExitRefused;
    const QString line = exit == kExitRefused ? QString() : result.summaryLine();
    QJsonObject summary = app::events::summary(result, exit, line);
    tell(summary, running.id, running.client);
    summary[QStringLiteral("id")] = running.id;
    Q_EMIT stepSummed(summary, line);
}

void ControlServer::tell(QJsonObject event)
{
    tell(std::move(event), m_running ? m_running->id : QJsonValue(),
         m_running ? m_running->client.data() : nullptr);
}

void ControlServer::tell(QJsonObject event, const QJsonValue &id, QLocalSocket *client)
{
    event[QStringLiteral("id")] = id;
    const QByteArray line = app::events::line(event);
    for (auto &[socket, connection] : m_connections) {
        if (connection.subscribed || socket == client)
            write(socket, line);
    }
}

void ControlServer::write(QLocalSocket *socket, const QByteArray &line)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end() || it->second.closing)
        return;
    socket->write(line);
    // A client that does not read is not waited for.
    if (socket->bytesToWrite() > kBacklogLimit) {
        qCDebug(lcControl) << "a client that does not read was dropped";
        it->second.closing = true;
        socket->abort();
    }
}

void ControlServer::reply(QLocalSocket *socket, const QJsonValue &id, QJsonObject fields)
{
    fields[QStringLiteral("id")] = id;
    write(socket, app::events::line(fields));
}

void ControlServer::refuse(QLocalSocket *socket, const QJsonValue &id, ErrorCode code,
                           const QString &text, QJsonObject fields)
{
    fields[QStringLiteral("error")] = errorName(code);
    fields[QStringLiteral("text")] = text;
    reply(socket, id, fields);
}

QJsonObject ControlServer::status() const
{
    const app::Station &station = *m_station;
    QJsonArray programmers;
    for (const ProgrammerNumber n : station.programmers().inUse()) {
        const model::ProgrammerState &state = station.state(n);
        if (!state.present)
            continue;
        QJsonObject p = app::identityJson(state.port);
        p[QStringLiteral("programmer")] = n.value();
        p[QStringLiteral("com")] = state.comPort;
        p[QStringLiteral("status")] = station.statusText(n);
        const char *phase = model::Pane::progressPhase(state.status);
        p[QStringLiteral("phase")] = phase ? QJsonValue(QLatin1String(phase)) : QJsonValue();
        p[QStringLiteral("percent")] = state.percent;
        const auto image = state.image();
        p[QStringLiteral("file")] = image ? QJsonValue(image->toJson()) : QJsonValue();
        p[QStringLiteral("tally")] =
            QJsonObject{{QStringLiteral("ok"), station.tally(n).boardsOk},
                        {QStringLiteral("failed"), station.tally(n).boardsFailed}};
        programmers.append(p);
    }
    return {{QStringLiteral("state"), busy() ? QStringLiteral("busy") : QStringLiteral("idle")},
            {QStringLiteral("running"), m_running ? m_running->id : QJsonValue()},
            {QStringLiteral("run_id"), app::runId()},
            {QStringLiteral("programmers"), programmers}};
}

} // namespace vell::control
