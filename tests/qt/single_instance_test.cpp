#include "ui/qt/single_instance.h"

#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>

#include "qt/spin.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace {

using test_support::TempDir;
using test_support::waitUntil;

QString folderOf(const TempDir& dir) { return QString::fromStdString(dir.str()); }

// The client calls block, so they run on their own thread while this one
// serves the event loop the server lives on.
template <class Call> auto whileServing(Call call)
{
    std::optional<decltype(call())> result;
    std::atomic<bool> done{false};
    std::thread client([&] {
        result = call();
        done = true;
    });
    EXPECT_TRUE(spinUntil([&] { return done.load(); }));
    client.join();
    return *result;
}

// Raw bytes out; whatever comes back until the server hangs up.
QByteArray exchange(const QString& path, const QByteArray& bytes)
{
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(test_support::kPatienceMs)) return "no connection";
    socket.write(bytes);
    socket.waitForBytesWritten(test_support::kPatienceMs);
    QByteArray answer;
    while (socket.state() == QLocalSocket::ConnectedState && socket.waitForReadyRead(test_support::kPatienceMs))
        answer += socket.readAll();
    return answer + socket.readAll();
}

// A socket file nobody listens on, as a copy that died leaves it.
void makeDeadSocket(const QString& path)
{
    const QByteArray name = path.toLocal8Bit();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(size_t(name.size()), sizeof address.sun_path);
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
}

// A sibling tool's endpoint: answers every line and remembers that it did.
struct FakeSibling {
    QLocalServer server;
    int requests = 0;
    explicit FakeSibling(const QString& path)
    {
        EXPECT_TRUE(server.listen(path));
        QObject::connect(&server, &QLocalServer::newConnection, [this] {
            QLocalSocket* socket = server.nextPendingConnection();
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
                if (!socket->canReadLine()) return;
                ++requests;
                socket->write("ok\n");
                socket->disconnectFromServer();
            });
        });
    }
};

// A first copy, counting what reaches it.
struct Listening {
    TempDir dir;
    SingleInstance first{folderOf(dir)};
    int activations = 0;
    std::vector<unsigned> services;
    Listening()
    {
        EXPECT_TRUE(first.acquire());
        EXPECT_TRUE(first.listen());
        QObject::connect(&first, &SingleInstance::activateRequested, [this] { ++activations; });
        QObject::connect(&first, &SingleInstance::serviceRequested, [this](unsigned c) { services.push_back(c); });
    }
    QString endpoint() const { return SingleInstance::endpointPath("TESSALY_CLASS", folderOf(dir)); }
};

} // namespace

TEST(SingleInstance, OneCopyHoldsTheLockUntilItGoes)
{
    TempDir dir;
    auto first = std::make_unique<SingleInstance>(folderOf(dir));
    SingleInstance second(folderOf(dir));
    EXPECT_TRUE(first->acquire());
    EXPECT_FALSE(second.acquire());
    EXPECT_FALSE(second.listen()); // no lock, no socket
    ASSERT_TRUE(first->listen());
    EXPECT_TRUE(std::filesystem::exists(dir / "TESSALY_CLASS"));
    first.reset();
    EXPECT_FALSE(std::filesystem::exists(dir / "TESSALY_CLASS"));
    EXPECT_TRUE(second.acquire());
}

TEST(SingleInstance, StartingTwiceBringsTheFirstToTheFront)
{
    Listening running; // started first
    SingleInstance again(folderOf(running.dir));
    EXPECT_FALSE(whileServing([&] { return again.startUp(20000); }));
    EXPECT_TRUE(spinUntil([&] { return running.activations == 1; }));
    EXPECT_FALSE(again.isListening());
}

TEST(SingleInstance, LockOfADeadProcessAndItsSocketAreTakenOver)
{
    TempDir dir;
    const QString lock = SingleInstance::lockPath(folderOf(dir));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        QLockFile held(lock);
        _exit(held.tryLock(0) ? 0 : 1); // dies holding it
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(std::filesystem::exists(lock.toStdString()));
    makeDeadSocket(SingleInstance::endpointPath("TESSALY_CLASS", folderOf(dir)));

    SingleInstance next(folderOf(dir));
    EXPECT_TRUE(next.acquire());
    EXPECT_TRUE(next.listen());
}

TEST(SingleInstance, RequestsOverTheEndpoint)
{
    struct Case {
        const char* name;
        QByteArray sent;
        QByteArray answer;
        int activations;
        std::vector<unsigned> services;
    };
    const Case cases[] = {
        {"activate", "activate\n", "ok\n", 1, {}},
        {"device information", "service 10000\n", "ok\n", 0, {10000}},
        {"server-data image, CRLF", "service 10001\r\n", "ok\n", 0, {10001}},
        {"one request per connection", "service 10000\nactivate\n", "ok\n", 0, {10000}},
        {"unknown command", "service 10002\n", "", 0, {}},
        {"signed number", "service +10000\n", "", 0, {}},
        {"number too long", "service 0000010000\n", "", 0, {}},
        {"garbage", "\x01\xff hello\n", "", 0, {}},
        {"over-long line", QByteArray(200, 'a'), "", 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Listening running;
        QLocalSocket silent; // connects and never writes: must not hold the others up
        silent.connectToServer(running.endpoint());
        ASSERT_TRUE(silent.waitForConnected(test_support::kPatienceMs));
        EXPECT_EQ(whileServing([&] { return exchange(running.endpoint(), c.sent); }), c.answer);
        if (c.activations || !c.services.empty())
            spinUntil([&] { return running.activations + running.services.size() > 0; });
        QCoreApplication::processEvents();
        EXPECT_EQ(running.activations, c.activations);
        EXPECT_EQ(running.services, c.services);
        // Whatever came before, a second copy and the service client get through.
        const QString folder = folderOf(running.dir);
        EXPECT_TRUE(whileServing([&] { return SingleInstance::activateRunning(folder, 20000); }));
        EXPECT_TRUE(whileServing([&] { return SingleInstance::sendService(10001, folder, 20000); }));
        std::vector<unsigned> services = c.services;
        services.push_back(10001);
        EXPECT_TRUE(spinUntil([&] { return running.activations == c.activations + 1 && running.services == services; }));
    }
}

TEST(SingleInstance, SecondCopyFindsTheFirstRunningToolInOrder)
{
    struct Case {
        const char* name;
        std::vector<const char*> running; // sibling endpoints present
        std::vector<const char*> dead;    // socket files nobody serves
        const char* reached;              // nullptr: none answers
    };
    const Case cases[] = {
        {"only the last sibling", {"QUENDRA_CLASS"}, {}, "QUENDRA_CLASS"},
        {"first in order wins", {"VORNAL_CLASS", "QUENDRA_CLASS"}, {}, "VORNAL_CLASS"},
        {"a dead copy is passed over", {"QUENDRA_CLASS"}, {"TESSALY_CLASS", "VORNAL_CLASS"}, "QUENDRA_CLASS"},
        {"none running", {}, {"TESSALY_CLASS"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const QString folder = folderOf(dir);
        std::vector<std::unique_ptr<FakeSibling>> siblings;
        for (const char* name : c.running)
            siblings.push_back(std::make_unique<FakeSibling>(SingleInstance::endpointPath(name, folder)));
        for (const char* name : c.dead) makeDeadSocket(SingleInstance::endpointPath(name, folder));
        EXPECT_EQ(whileServing([&] { return SingleInstance::activateRunning(folder, 20000); }), c.reached != nullptr);
        for (size_t i = 0; i < siblings.size(); ++i)
            EXPECT_EQ(siblings[i]->requests, c.reached && std::strcmp(c.running[i], c.reached) == 0 ? 1 : 0)
                << c.running[i];
    }
}

TEST(SingleInstance, ClientCallsAreBounded)
{
    TempDir dir;
    // Takes connections but never answers: a hung copy.
    QLocalServer hung;
    ASSERT_TRUE(hung.listen(SingleInstance::endpointPath("TESSALY_CLASS", folderOf(dir))));
    EXPECT_FALSE(SingleInstance::activateRunning(folderOf(dir), 100));
    EXPECT_FALSE(SingleInstance::sendService(10000, folderOf(dir), 100));
    // Numbers that are not service commands never leave the process.
    EXPECT_FALSE(SingleInstance::sendService(10002, folderOf(dir), 20000));
    EXPECT_FALSE(SingleInstance::sendService(0, folderOf(dir), 20000));
}

namespace {

// A lock that cannot be made (no such folder) is no other copy: the tool
// runs, only without the one-copy rule.
TEST(SingleInstanceTest, UnusableFolderStillRuns)
{
    TempDir dir("tessaly-single-");
    SingleInstance instance(folderOf(dir) + "/missing/deeper");
    EXPECT_FALSE(instance.acquire());
    EXPECT_FALSE(instance.heldByAnother());
    EXPECT_TRUE(instance.startUp(100));
}

} // namespace
