// One copy of the tool per user session, and a door into the running copy.
//
// The first copy holds a lock file named like the named mutex the family of
// update tools shares, and listens on a local socket named after its main
// window's class. A second copy does not get the lock; it knocks on the
// sockets of this tool and of its siblings, in that order, asks the first
// that answers to come to the front, and ends. The same socket carries the
// two hidden service commands into the running window.
//
// Everything lives in one folder private to the user and the session (the
// runtime folder), so other users never see these names.
//
// Protocol: one line per connection, answered by "ok\n" and closed:
//   "activate\n"       show yourself normally and come to the front
//   "service 10000\n"  run service command 10000 (10001 likewise)
// Anything else, an over-long line or a silent client is dropped without an
// answer. The server side runs on the owner's event loop and never blocks.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QLocalServer;
class QLocalSocket;
class QLockFile;

class SingleInstance : public QObject {
    Q_OBJECT
public:
    static const char* const kLockName; // "ZR_APP_ONE_HANDLE"
    // "TESSALY_CLASS" (this tool), then the siblings "VORNAL_CLASS" and
    // "QUENDRA_CLASS": the order a second copy looks for a running one in.
    static const QStringList& windowClasses();

    // SERVICE_DEVICE_INFO or SERVICE_SERVER_IMAGE (ui/service_tools.h): the
    // only numbers the socket carries.
    static bool isServiceCommand(unsigned command);

    // folder: where the lock and the sockets live; empty = the user's runtime
    // folder (QStandardPaths::RuntimeLocation, per user and per session).
    explicit SingleInstance(QString folder = {}, QObject* parent = nullptr);
    ~SingleInstance() override; // closes the socket (removing its file), then releases the lock

    // Takes the lock without waiting; true for the first copy, which then
    // holds it until this object goes. A lock left by a process that is gone
    // is taken over. False when another copy holds it or the folder is
    // unusable.
    bool acquire();
    // First copy only (after acquire()): listens on the socket of this tool's
    // window class, user access only. A socket file left by a dead copy is
    // removed first, which is safe only because the lock is ours. False when
    // the lock is not held or the socket cannot be made.
    bool listen();
    bool isListening() const;
    // The start-up rule in one call. True: this is the first copy and runs
    // (lock held; socket open unless that failed, which only closes the door
    // from outside). False: another copy holds the lock; it has been asked to
    // come to the front if it answered, and this copy ends without showing
    // anything.
    bool startUp(int timeoutMs = 1000);
    // After a failed acquire(): another copy holds the lock (rather than the
    // lock being unusable).
    bool heldByAnother() const;

    // The full paths of the lock and of one window class's socket in folder
    // (empty folder = the runtime folder; empty result when it has none).
    static QString lockPath(const QString& folder = {});
    static QString endpointPath(const QString& windowClass, const QString& folder = {});

    // Second copy: tries the sockets in windowClasses() order and asks the
    // first that answers to come to the front. False when none answered
    // within timeoutMs in all (blocking, bounded; needs no event loop).
    static bool activateRunning(const QString& folder = {}, int timeoutMs = 1000);
    // Hands service command 10000 or 10001 to the running copy of this tool
    // (its socket only: a sibling's numbers mean something else). False for
    // any other command, or when nothing answered within timeoutMs.
    static bool sendService(unsigned command, const QString& folder = {}, int timeoutMs = 1000);

signals:
    // Both arrive from the event loop after the request's connection is done
    // with, so a slot may run a modal dialog.
    void activateRequested();
    void serviceRequested(unsigned command);

private:
    void onNewConnection();
    void onReadyRead(QLocalSocket* socket);

    QString folder_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer* server_ = nullptr;
};
