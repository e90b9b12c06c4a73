#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "MirelPipeConnection.hpp"
#include "MirelPipeServer.hpp"
#include "TestSupport.hpp"

using namespace MirelNet;
using mnettest::Bytes;
using mnettest::catchOf;

namespace {

typedef MirelSmartPointer<MirelConnection> Connection;

const char* const kConnectFailed = "MirelPipeConnection::establish: connection request failed.";

using mnettest::PipeName;

struct ScopedFd {
    explicit ScopedFd(int n) : nFd(n) {}
    ~ScopedFd() {
        if (nFd >= 0) {
            ::close(nFd);
        }
    }
    int nFd;
};

// accept with a time-out, so a client that never connects fails the test instead of hanging.
int acceptWithin(int nListener, int nTimeoutMs = 5000) {
    int nClient = -1;
    mnettest::waitUntil(
        [&] {
            nClient = ::accept4(nListener, 0, 0, SOCK_NONBLOCK | SOCK_CLOEXEC);
            return nClient >= 0;
        },
        nTimeoutMs);
    if (nClient >= 0) {
        ::fcntl(nClient, F_SETFL, 0);
    }
    return nClient;
}

// An accepted connection over one end of a socket pair; the other end is the raw peer.
struct SocketPairPeer {
    SocketPairPeer(unsigned int iRights = 5) : nPeer(-1) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            nOurs = fds[0];
            nPeer = fds[1];
            spConnection = new MirelPipeConnection(&nOurs, iRights);
        }
    }
    ~SocketPairPeer() {
        if (nPeer >= 0) {
            ::close(nPeer);
        }
    }
    int nOurs;
    int nPeer;
    Connection spConnection;
};

void ignoreSignal(int) {}

// A handler without SA_RESTART, so a blocking call that the signal meets fails with EINTR.
void installInterruptingHandler() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = ignoreSignal;
    ::sigaction(SIGUSR1, &action, 0);
}

// Each int it writes waits for the peer's one-byte confirmation.
class ConfirmingConnection : public MirelPipeConnection {
public:
    explicit ConfirmingConnection(int* pnFd) : MirelPipeConnection(pnFd, 1) {}
    using MirelPipeConnection::transfer;
    void transfer(int nValue) override {
        MirelPipeConnection::transfer(nValue);
        char cConfirmation = 0;
        get(&cConfirmation, 1);
    }
};

void limitReceives(int nFd) {
    timeval limit = {5, 0};
    ::setsockopt(nFd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

}  // namespace

// The length of a string is written inside the string's operation; a nested write that then
// waits for an answer must not wait on bytes that were never sent.
TEST(MirelPipeConnection, WhatAnOperationWroteLeavesBeforeItWaitsForAnAnswer) {
    int fds[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
    limitReceives(fds[0]);
    MirelSmartPointer<ConfirmingConnection> spConnection(new ConfirmingConnection(&fds[0]));
    std::thread peer([&] {
        Bytes length = mnettest::rawReceive(fds[1], 4);
        EXPECT_EQ("00 00 00 03", mnettest::hex(length));
        mnettest::rawSendAll(fds[1], Bytes{'k'});
        EXPECT_EQ("61 62 63", mnettest::hex(mnettest::rawReceive(fds[1], 3)));
    });
    EXPECT_NO_THROW(spConnection->transfer(MirelString("abc")));
    peer.join();
    ::close(fds[1]);
}

// Strings on each side of the sizes where an operation's bytes stop fitting in the operation
// itself (256) and where content is sent from the caller's memory instead of copied (4 KiB),
// each followed by an int: every frame arrives exactly, in order.
TEST(MirelPipeConnection, StringsOfEverySizeClassArriveExactlyAndInOrder) {
    SocketPairPeer pair;
    ASSERT_GE(pair.nPeer, 0);
    limitReceives(pair.nPeer);
    const std::size_t sizes[] = {1, 252, 253, 1000, 4095, 4096, 70000, 3, 2000};
    Bytes expected;
    for (std::size_t i = 0; i < sizeof sizes / sizeof sizes[0]; ++i) {
        Bytes length = mnettest::bigEndian(static_cast<long>(sizes[i]));
        expected.insert(expected.end(), length.begin(), length.end());
        for (std::size_t j = 0; j < sizes[i]; ++j) {
            expected.push_back(static_cast<unsigned char>('a' + (i + j) % 26));
        }
        Bytes tail = mnettest::bigEndian(static_cast<long>(i));
        expected.insert(expected.end(), tail.begin(), tail.end());
    }
    std::future<Bytes> peer = std::async(
        std::launch::async, [&] { return mnettest::rawReceive(pair.nPeer, expected.size()); });
    for (std::size_t i = 0; i < sizeof sizes / sizeof sizes[0]; ++i) {
        MirelString sText(sizes[i], ' ');
        for (std::size_t j = 0; j < sizes[i]; ++j) {
            sText[j] = static_cast<char>('a' + (i + j) % 26);
        }
        pair.spConnection->transfer(sText);
        pair.spConnection->transfer(static_cast<int>(i));
    }
    ASSERT_EQ(std::future_status::ready, peer.wait_for(std::chrono::seconds(5)));
    Bytes received = peer.get();
    ASSERT_EQ(expected.size(), received.size());
    EXPECT_TRUE(received == expected);
}

// A signal that meets a blocked send cuts it short; the rest, across the pieces of the one
// send, must still go out in order.
TEST(MirelPipeConnection, LongStringArrivesWholeWhenSignalsCutItsSendShort) {
    installInterruptingHandler();
    SocketPairPeer pair;
    ASSERT_GE(pair.nPeer, 0);
    int nSmall = 16384;
    ::setsockopt(pair.nOurs, SOL_SOCKET, SO_SNDBUF, &nSmall, sizeof nSmall);
    MirelString sText(1 << 20, '\0');
    for (std::size_t i = 0; i < sText.size(); ++i) {
        sText[i] = static_cast<char>('a' + i % 23);
    }
    std::atomic<bool> bSent(false);
    std::promise<pthread_t> writer;
    std::future<void> sent = std::async(std::launch::async, [&] {
        writer.set_value(::pthread_self());
        pair.spConnection->transfer(sText);
        bSent = true;
    });
    pthread_t writerThread = writer.get_future().get();
    std::string sReceived;
    while (sReceived.size() < 4 + sText.size()) {
        if (!bSent) {
            ::pthread_kill(writerThread, SIGUSR1);
        }
        std::size_t nLeft = 4 + sText.size() - sReceived.size();
        Bytes part = mnettest::rawReceive(pair.nPeer, nLeft < 4096 ? nLeft : 4096);
        if (part.empty()) {
            break;
        }
        sReceived.append(part.begin(), part.end());
    }
    ASSERT_EQ(std::future_status::ready, sent.wait_for(std::chrono::seconds(5)));
    sent.get();
    ASSERT_EQ(4 + sText.size(), sReceived.size());
    EXPECT_EQ(std::string("\0\x10\0\0", 4), sReceived.substr(0, 4));
    EXPECT_TRUE(sReceived.compare(4, std::string::npos, sText) == 0);
}

TEST(MirelPipeConnection, TypedValuesCrossARealPipePairBothWays) {
    MNET_REQUIRE_SHARED_DIR();
    PipeName endpoint;
    MirelSmartPointer<MirelIPCServer> spServer(new MirelPipeServer(endpoint.sName));
    Connection spClient(new MirelPipeConnection(endpoint.sName));
    EXPECT_EQ(1u, spClient->getAccessRights());

    spClient->transfer(-2);
    spClient->transfer(static_cast<short>(-2));
    spClient->transfer(123456789L);
    spClient->transfer(true);
    spClient->transfer(MirelString("abc"));
    spClient->transfer(MirelString("ab\0cd", 5));
    spClient->transfer(MirelString());
    spClient->transferACK();
    Connection spAccepted = spServer->waitForClient(false);
    ASSERT_TRUE(spAccepted);
    EXPECT_EQ(-2, spAccepted->receiveInt());
    EXPECT_EQ(-2, spAccepted->receiveShort());
    EXPECT_EQ(123456789L, spAccepted->receiveLong());
    EXPECT_EQ(1, spAccepted->receiveShort());
    EXPECT_EQ("abc", spAccepted->receiveString());
    EXPECT_EQ("ab", spAccepted->receiveString());
    EXPECT_EQ("", spAccepted->receiveString());
    EXPECT_EQ(1, spAccepted->receiveShort());
    EXPECT_EQ(0, spAccepted->receiveShort());

    spAccepted->transferError();
    spAccepted->transfer(MirelString("back"));
    EXPECT_EQ(1, spClient->receiveShort());
    EXPECT_EQ(-1, spClient->receiveShort());
    EXPECT_EQ("back", spClient->receiveString());
}

TEST(MirelPipeConnection, WritesBigEndianFramesAndReconnectsAfterDisconnect) {
    MNET_REQUIRE_SHARED_DIR();
    PipeName endpoint;
    ScopedFd listener(mnettest::rawUnixListen(endpoint.sPath));
    ASSERT_GE(listener.nFd, 0);
    Connection spClient(new MirelPipeConnection(endpoint.sName));

    spClient->transfer(-2);
    spClient->transfer(true);
    spClient->transfer(MirelString("abc"));
    ScopedFd first(acceptWithin(listener.nFd));
    EXPECT_EQ("ff ff ff fe 00 01 00 00 00 03 61 62 63",
              mnettest::hex(mnettest::rawReceive(first.nFd, 13)));

    spClient->disconnect();
    EXPECT_TRUE(mnettest::rawReceive(first.nFd, 1, 1000).empty());  // the peer sees the end
    spClient->transferACK();
    ScopedFd second(acceptWithin(listener.nFd));
    EXPECT_EQ("00 01 00 00", mnettest::hex(mnettest::rawReceive(second.nFd, 4)));
}

TEST(MirelPipeConnection, HandshakeSendsServiceLineAndGoesOnAfterPlus) {
    MNET_REQUIRE_SHARED_DIR();
    PipeName endpoint;
    ScopedFd listener(mnettest::rawUnixListen(endpoint.sPath));
    ASSERT_GE(listener.nFd, 0);
    std::future<Bytes> peer = std::async(std::launch::async, [&] {
        ScopedFd client(acceptWithin(listener.nFd));
        Bytes line = mnettest::rawReceive(client.nFd, 5);
        mnettest::rawSendAll(client.nFd, Bytes(1, '+'));
        Bytes value = mnettest::rawReceive(client.nFd, 4);
        line.insert(line.end(), value.begin(), value.end());
        return line;
    });
    Connection spClient(new MirelPipeConnection(endpoint.sName));
    spClient->setServiceName("svc");
    spClient->transfer(7);
    ASSERT_EQ(std::future_status::ready, peer.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ("73 76 63 0d 0a 00 00 00 07", mnettest::hex(peer.get()));
}

// Before, the refused socket stayed open and the next write reached the service that had said
// no, without any handshake.
TEST(MirelPipeConnection, RefusedHandshakeClosesSoTheNextOperationAnnouncesItselfAgain) {
    MNET_REQUIRE_SHARED_DIR();
    PipeName endpoint;
    ScopedFd listener(mnettest::rawUnixListen(endpoint.sPath));
    ASSERT_GE(listener.nFd, 0);
    std::future<std::string> peer = std::async(std::launch::async, [&] {
        ScopedFd refused(acceptWithin(listener.nFd));
        std::string sSeen = mnettest::hex(mnettest::rawReceive(refused.nFd, 5));
        mnettest::rawSendAll(refused.nFd, Bytes(1, '-'));
        // The refused connection ends without another byte.
        sSeen += " | " + mnettest::hex(mnettest::rawReceive(refused.nFd, 1, 2000));
        ScopedFd accepted(acceptWithin(listener.nFd));
        sSeen += " | " + mnettest::hex(mnettest::rawReceive(accepted.nFd, 5));
        mnettest::rawSendAll(accepted.nFd, Bytes(1, '+'));
        return sSeen + " | " + mnettest::hex(mnettest::rawReceive(accepted.nFd, 4));
    });
    MirelSupport::MirelSmartPointer<MirelPipeConnection> spClient(
        new MirelPipeConnection(endpoint.sName));
    spClient->setServiceName("svc");
    MirelException e = catchOf([&] { spClient->transfer(7); });
    EXPECT_EQ("MirelConnection::connectToService: connection to remote service failed.",
              e.getText());
    EXPECT_EQ(0, e.getCode());
    EXPECT_EQ(0, spClient->getPipeHandle());

    spClient->transfer(8);
    ASSERT_EQ(std::future_status::ready, peer.wait_for(std::chrono::seconds(10)));
    EXPECT_EQ("73 76 63 0d 0a |  | 73 76 63 0d 0a | 00 00 00 08", peer.get());
}

// Callback addresses come from clients: a name must not reach a socket outside the directory.
TEST(MirelPipeConnection, NameLeavingTheSharedDirectoryIsRefusedBeforeAnySystemCall) {
    MNET_REQUIRE_SHARED_DIR();
    std::string sOutside = "/tmp/" + mnettest::uniqueName("outside") + ".sock";
    ScopedFd listener(mnettest::rawUnixListen(sOutside));
    ASSERT_GE(listener.nFd, 0);
    const std::string sUp = "../../../../../../../../..";
    int nFdsBefore = mnettest::countOpenFds();
    for (const std::string& sName :
         {sUp + sOutside, std::string("a/../..") + sOutside, std::string("x/.."), sOutside}) {
        Connection spClient(new MirelPipeConnection(sName));
        MirelException e = catchOf([&] { spClient->transfer(1); });
        EXPECT_EQ(kConnectFailed, e.getText()) << sName;
        EXPECT_EQ(EINVAL, e.getCode()) << sName;
    }
    EXPECT_EQ(nFdsBefore, mnettest::countOpenFds());
    pollfd wait = {listener.nFd, POLLIN, 0};
    EXPECT_EQ(0, ::poll(&wait, 1, 50));
    ::unlink(sOutside.c_str());
}

TEST(MirelPipeConnection, NoServerListeningFailsWithErrnoAndLeavesNoDescriptor) {
    MNET_REQUIRE_SHARED_DIR();
    PipeName endpoint;
    Connection spClient(new MirelPipeConnection(endpoint.sName));
    int nFdsBefore = mnettest::countOpenFds();

    long nError = 0;
    EXPECT_EQ(0, spClient->transfer("x", 1, &nError));
    EXPECT_EQ(ENOENT, nError);
    MirelException e = catchOf([&] { spClient->transfer(1); });
    EXPECT_EQ(kConnectFailed, e.getText());
    EXPECT_EQ(ENOENT, e.getCode());
    EXPECT_EQ(nFdsBefore, mnettest::countOpenFds());
}

TEST(MirelPipeConnection, FullPathLongerThan107BytesIsRefusedWithCode36) {
    MNET_REQUIRE_SHARED_DIR();
    const std::size_t nDir = std::strlen(mnettest::kSharedServiceDir);
    int nFdsBefore = mnettest::countOpenFds();

    // 107 bytes still fit with the terminator: the connect is tried and finds nothing.
    std::string sFits = mnettest::uniqueName("fit");
    sFits.resize(107 - nDir, 'f');
    Connection spFits(new MirelPipeConnection(sFits));
    EXPECT_EQ(ENOENT, catchOf([&] { spFits->transfer(1); }).getCode());

    Connection spLong(new MirelPipeConnection(std::string(108 - nDir, 'l')));
    MirelException e = catchOf([&] { spLong->transfer(1); });
    EXPECT_EQ(kConnectFailed, e.getText());
    EXPECT_EQ(ENAMETOOLONG, e.getCode());
    long nError = 0;
    EXPECT_EQ(0, spLong->receive(0, 4, &nError, true));
    EXPECT_EQ(ENAMETOOLONG, nError);
    EXPECT_EQ(nFdsBefore, mnettest::countOpenFds());
}

TEST(MirelPipeConnection, AcceptedConnectionWorksAtOnceWithoutConnecting) {
    SocketPairPeer pair(5);
    ASSERT_GE(pair.nPeer, 0);
    EXPECT_EQ(5u, pair.spConnection->getAccessRights());
    ASSERT_TRUE(mnettest::rawSendAll(pair.nPeer, Bytes{0, 0, 0, 9}));

    char buffer[8];
    int nSize = sizeof buffer;
    int nCode = -1;
    EXPECT_TRUE(pair.spConnection->peekBytes(buffer, nSize, nCode));
    EXPECT_EQ(4, nSize);
    EXPECT_EQ(0, nCode);
    EXPECT_EQ(9, pair.spConnection->receiveInt());
    pair.spConnection->transfer(static_cast<short>(3));
    EXPECT_EQ("00 03", mnettest::hex(mnettest::rawReceive(pair.nPeer, 2)));
}

TEST(MirelPipeConnection, DisconnectTwiceClosesTheDescriptorOnce) {
    SocketPairPeer pair;
    ASSERT_GE(pair.nPeer, 0);
    pair.spConnection->disconnect();
    EXPECT_EQ(-1, ::fcntl(pair.nOurs, F_GETFD));
    // The number is in use again by the time of the second disconnect, which must not close it.
    ASSERT_EQ(pair.nOurs, ::dup2(pair.nPeer, pair.nOurs));
    pair.spConnection->disconnect();
    EXPECT_NE(-1, ::fcntl(pair.nOurs, F_GETFD));
    ::close(pair.nOurs);
}

TEST(MirelPipeConnection, WriteToVanishedPeerFailsWithEPIPEAndNoSignal) {
    ::signal(SIGPIPE, SIG_DFL);
    SocketPairPeer pair;
    ASSERT_GE(pair.nPeer, 0);
    ::close(pair.nPeer);
    pair.nPeer = -1;

    MirelException e = catchOf([&] {
        for (int i = 0; i < 100; ++i) {
            pair.spConnection->transfer(MirelString(1000, 'x'));
        }
    });
    EXPECT_EQ("MirelConnection::put: transfer failed.", e.getText());
    EXPECT_EQ(EPIPE, e.getCode());
}

TEST(MirelPipeConnection, PeerClosingMidFrameFailsTheReadWith107) {
    SocketPairPeer pair;
    ASSERT_GE(pair.nPeer, 0);
    ASSERT_TRUE(mnettest::rawSendAll(pair.nPeer, Bytes{0, 0}));
    ::close(pair.nPeer);
    pair.nPeer = -1;

    MirelException e = catchOf([&] { pair.spConnection->receiveInt(); });
    EXPECT_EQ("MirelConnection::get: failed read", e.getText());
    EXPECT_EQ(ENOTCONN, e.getCode());
}

TEST(MirelPipeConnection, ReceiveInterruptedBySignalGoesOnWaiting) {
    installInterruptingHandler();
    SocketPairPeer pair;
    ASSERT_GE(pair.nPeer, 0);
    std::promise<pthread_t> reader;
    std::future<int> value = std::async(std::launch::async, [&] {
        reader.set_value(::pthread_self());
        return pair.spConnection->receiveInt();
    });
    pthread_t readerThread = reader.get_future().get();
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ::pthread_kill(readerThread, SIGUSR1);
    }
    ASSERT_TRUE(mnettest::rawSendAll(pair.nPeer, Bytes{0, 0, 1, 0}));
    ASSERT_EQ(std::future_status::ready, value.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ(256, value.get());
}
