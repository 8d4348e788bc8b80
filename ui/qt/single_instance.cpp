#include "ui/qt/single_instance.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>

#include "ui/service_tools.h"

namespace {

// Longer than any request; a peer that sends more without a line end is not
// one of us.
constexpr qsizetype kMaxLine = 32;
// A connection that has not sent its line by then is dropped, so a client
// that connects and says nothing costs a socket for a moment, not forever.
constexpr int kIdleMs = 3000;
// More simultaneous connections than a user's starts can make: the rest are
// dropped at once.
constexpr int kMaxClients = 8;

const QByteArray kOk = QByteArrayLiteral("ok\n");
const QByteArray kActivate = QByteArrayLiteral("activate");
const QByteArray kServicePrefix = QByteArrayLiteral("service ");

QString resolveFolder(const QString& folder)
{
    if (!folder.isEmpty()) return folder;
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

// The request a line carries: 0 for "activate", a service command's number,
// or -1 when the line is not one we answer.
long parseRequest(const QByteArray& line)
{
    if (line == kActivate) return 0;
    if (!line.startsWith(kServicePrefix)) return -1;
    const QByteArray number = line.mid(kServicePrefix.size());
    // Digits only: toUInt would also take signs and spaces.
    if (number.isEmpty() || number.size() > 5) return -1;
    for (char c : number)
        if (c < '0' || c > '9') return -1;
    const unsigned command = number.toUInt();
    return SingleInstance::isServiceCommand(command) ? long(command) : -1;
}

void drop(QLocalSocket* socket)
{
    socket->abort();
    socket->deleteLater();
}

int remainingMs(const QDeadlineTimer& deadline) { return int(std::max<qint64>(0, deadline.remainingTime())); }

// One request to one socket, within the deadline; true when it answered "ok".
bool ask(const QString& path, const QByteArray& request, const QDeadlineTimer& deadline)
{
    if (path.isEmpty()) return false;
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(remainingMs(deadline))) return false;
    socket.write(request);
    if (!socket.waitForBytesWritten(remainingMs(deadline))) return false;
    QByteArray answer;
    while (!answer.contains('\n') && answer.size() <= kOk.size()) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(remainingMs(deadline))) break;
        answer += socket.read(kOk.size() + 1 - answer.size());
    }
    socket.abort();
    return answer == kOk;
}

} // namespace

const char* const SingleInstance::kLockName = "ZR_APP_ONE_HANDLE";

const QStringList& SingleInstance::windowClasses()
{
    static const QStringList classes{QStringLiteral("TESSALY_CLASS"), QStringLiteral("VORNAL_CLASS"),
                                     QStringLiteral("QUENDRA_CLASS")};
    return classes;
}

bool SingleInstance::isServiceCommand(unsigned command)
{
    return command == SERVICE_DEVICE_INFO || command == SERVICE_SERVER_IMAGE;
}

SingleInstance::SingleInstance(QString folder, QObject* parent) : QObject(parent), folder_(std::move(folder)) {}

SingleInstance::~SingleInstance()
{
    // The socket goes first: while the lock is still ours, no new first copy
    // can be listening on the path the server removes.
    if (server_) {
        server_->close();
        delete server_;
        server_ = nullptr;
    }
    if (lock_) lock_->unlock();
}

QString SingleInstance::lockPath(const QString& folder)
{
    const QString dir = resolveFolder(folder);
    return dir.isEmpty() ? QString() : QDir(dir).filePath(QString::fromLatin1(kLockName));
}

QString SingleInstance::endpointPath(const QString& windowClass, const QString& folder)
{
    const QString dir = resolveFolder(folder);
    return dir.isEmpty() ? QString() : QDir(dir).filePath(windowClass);
}

bool SingleInstance::acquire()
{
    if (lock_ && lock_->isLocked()) return true;
    const QString path = lockPath(folder_);
    if (path.isEmpty()) return false;
    lock_ = std::make_unique<QLockFile>(path);
    // The first copy holds the lock for as long as it runs: only an owner that
    // is gone makes it stale, never its age.
    lock_->setStaleLockTime(0);
    return lock_->tryLock(0);
}

bool SingleInstance::listen()
{
    if (!lock_ || !lock_->isLocked()) return false;
    if (server_ && server_->isListening()) return true;
    const QString path = endpointPath(windowClasses().front(), folder_);
    if (path.isEmpty()) return false;
    // A socket file left behind by a copy that died would make listening
    // fail; with the lock ours, nobody else can be serving on it.
    QLocalServer::removeServer(path);
    auto* server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    server->setMaxPendingConnections(kMaxClients);
    if (!server->listen(path)) {
        delete server;
        return false;
    }
    server_ = server;
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
    return true;
}

bool SingleInstance::isListening() const { return server_ && server_->isListening(); }

bool SingleInstance::startUp(int timeoutMs)
{
    if (acquire()) {
        listen();
        return true;
    }
    // Without a usable lock (no runtime folder, no permission) the tool
    // still runs, only without the one-copy rule: ending silently would
    // leave the user with nothing.
    if (!heldByAnother()) return true;
    activateRunning(folder_, timeoutMs);
    return false;
}

bool SingleInstance::heldByAnother() const { return lock_ && lock_->error() == QLockFile::LockFailedError; }

void SingleInstance::onNewConnection()
{
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        // Sockets are children of the server until they are deleted.
        const int open = int(server_->findChildren<QLocalSocket*>(Qt::FindDirectChildrenOnly).size());
        if (open > kMaxClients) {
            drop(socket);
            continue;
        }
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        // Bound to the socket: it dies with it.
        QTimer::singleShot(kIdleMs, socket, [socket] { drop(socket); });
        // Bytes that came with the connection raise no readyRead of their own.
        if (socket->bytesAvailable() > 0) onReadyRead(socket);
    }
}

void SingleInstance::onReadyRead(QLocalSocket* socket)
{
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kMaxLine) drop(socket);
        return;
    }
    QByteArray line = socket->readLine(kMaxLine + 1);
    if (!line.endsWith('\n')) {
        drop(socket);
        return;
    }
    line.chop(1);
    if (line.endsWith('\r')) line.chop(1);
    const long request = parseRequest(line);
    if (request < 0) {
        drop(socket);
        return;
    }
    // One request per connection: whatever follows is not read.
    QObject::disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    socket->write(kOk);
    socket->flush();
    socket->disconnectFromServer();
    // Queued, so the slot (which may run a modal dialog with its own event
    // loop) starts after this socket's handler has returned.
    if (request == 0) {
        QMetaObject::invokeMethod(this, [this] { emit activateRequested(); }, Qt::QueuedConnection);
    } else {
        const unsigned command = unsigned(request);
        QMetaObject::invokeMethod(this, [this, command] { emit serviceRequested(command); }, Qt::QueuedConnection);
    }
}

bool SingleInstance::activateRunning(const QString& folder, int timeoutMs)
{
    const QDeadlineTimer deadline(std::max(0, timeoutMs));
    const QByteArray request = kActivate + '\n';
    for (const QString& windowClass : windowClasses()) {
        if (ask(endpointPath(windowClass, folder), request, deadline)) return true;
        if (deadline.hasExpired()) break;
    }
    return false;
}

bool SingleInstance::sendService(unsigned command, const QString& folder, int timeoutMs)
{
    if (!isServiceCommand(command)) return false;
    const QDeadlineTimer deadline(std::max(0, timeoutMs));
    return ask(endpointPath(windowClasses().front(), folder), kServicePrefix + QByteArray::number(command) + '\n',
               deadline);
}
