#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <string>

#include "MirelBufferConnection.hpp"
#include "MirelPipeConnection.hpp"
#include "MirelSocketConnection.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelBufferConnection;
using MirelSupport::MirelSmartPointer;

namespace {

MirelSmartPointer<MirelBufferConnection> holding(const std::string& sData) {
    return MirelSmartPointer<MirelBufferConnection>(new MirelBufferConnection(
        const_cast<char*>(sData.data()), static_cast<int>(sData.size()), ""));
}

std::string rest(MirelBufferConnection& c) {
    char buffer[256];
    long nError = 0;
    long n = c.receive(buffer, sizeof buffer, &nError, false);
    return std::string(buffer, static_cast<std::size_t>(n > 0 ? n : 0));
}

}  // namespace

TEST(LineReading, PeekSeesTheLineAndCountsEveryPeekedByte) {
    auto sp = holding("fourteen chars\r\nrest");
    char buffer[64];
    int nSize = sizeof buffer, nError = 0;
    EXPECT_TRUE(sp->peekLine(buffer, nSize, nError));
    EXPECT_STREQ("fourteen chars", buffer);
    EXPECT_EQ(20, nSize);
    EXPECT_EQ(0, nError);
    EXPECT_STREQ("fourteen chars", sp->getLine(buffer, sizeof buffer, nError));
    EXPECT_EQ("rest", rest(*sp));
}

TEST(LineReading, LoneCrLfIsAnEmptyLine) {
    auto sp = holding("\r\nX");
    char buffer[16];
    int nError = 0;
    ASSERT_NE(nullptr, sp->getLine(buffer, sizeof buffer, nError));
    EXPECT_STREQ("", buffer);
    EXPECT_EQ("X", rest(*sp));
}

TEST(LineReading, LineMustFitTheBufferWithItsCrLfAndTerminator) {
    char buffer[10];
    int nError = 0;
    auto spFits = holding("1234567\r\n");
    EXPECT_STREQ("1234567", spFits->getLine(buffer, sizeof buffer, nError));

    auto spTooLong = holding("12345678\r\n");
    EXPECT_EQ(nullptr, spTooLong->getLine(buffer, sizeof buffer, nError));
    EXPECT_EQ(0, nError);
    EXPECT_EQ("12345678\r\n", rest(*spTooLong));
}

TEST(LineReading, NonPrintableCharacterRefusesTheLine) {
    for (const char* pszLine : {"a\tb\r\n", "caf\xe9\r\n", "x\x7f\r\n"}) {
        auto sp = holding(pszLine);
        char buffer[32];
        int nSize = sizeof buffer, nError = 0;
        EXPECT_FALSE(sp->peekLine(buffer, nSize, nError)) << pszLine;
        EXPECT_EQ(nullptr, sp->getLine(buffer, sizeof buffer, nError));
        EXPECT_EQ(std::string(pszLine), rest(*sp));
    }
}

TEST(LineReading, LineArrivingInTwoPartsIsReadOnceComplete) {
    MirelSmartPointer<MirelBufferConnection> sp(new MirelBufferConnection());
    sp->put(const_cast<char*>("GET /x"), 6);
    char buffer[32];
    int nError = 0;
    EXPECT_EQ(nullptr, sp->getLine(buffer, sizeof buffer, nError));
    sp->put(const_cast<char*>(" HTTP\r\n"), 7);
    EXPECT_STREQ("GET /x HTTP", sp->getLine(buffer, sizeof buffer, nError));
}

TEST(LineReading, EndOfDataEndsGetLineWithNotConnected) {
    auto sp = holding("one\r\n");
    char buffer[32];
    int nError = 0;
    ASSERT_NE(nullptr, sp->getLine(buffer, sizeof buffer, nError));
    EXPECT_EQ(nullptr, sp->getLine(buffer, sizeof buffer, nError));
    EXPECT_EQ(ENOTCONN, nError);
    MirelSmartPointer<MirelBufferConnection> spNever(new MirelBufferConnection());
    EXPECT_EQ(nullptr, spNever->getLine(buffer, sizeof buffer, nError));
    EXPECT_EQ(ENOTCONN, nError);
}

TEST(LineReading, ZeroByteBeforeTheCrLfHidesThePair) {
    std::string sData("ab\0cd\r\n", 7);
    auto sp = holding(sData);
    char buffer[32];
    int nSize = sizeof buffer, nError = 0;
    EXPECT_FALSE(sp->peekLine(buffer, nSize, nError));
    EXPECT_EQ(7, nSize);
}

TEST(LineReading, PeekClearsTheCallersErrorCodeWhateverTheBufferSize) {
    auto sp = holding("ab\r\n");
    char buffer[4];
    for (int nSize : {1, 2, 4}) {
        int n = nSize, nError = 12345;
        sp->peekLine(buffer, n, nError);
        EXPECT_EQ(0, nError) << nSize;
    }
}

// A failed establishment must not leave peekLine scanning whatever the buffer held before.
TEST(LineReading, PeekAfterAFailedEstablishmentReportsNothingRead) {
    MirelSmartPointer<MirelNet::MirelConnection> refusedPort(
        new MirelNet::MirelSocketConnection("127.0.0.1", mnettest::freeTcpPort(), false, false));
    MirelSmartPointer<MirelNet::MirelConnection> missingEndpoint(
        new MirelNet::MirelPipeConnection(mnettest::uniqueName("missing")));
    for (MirelNet::MirelConnection* pConnection : {&*refusedPort, &*missingEndpoint}) {
        char szBuffer[64];
        std::strcpy(szBuffer, "stale text of an earlier line\r\n");
        int nSize = sizeof szBuffer;
        int nCode = 0;
        EXPECT_FALSE(pConnection->peekLine(szBuffer, nSize, nCode));
        EXPECT_EQ(0, nSize);
        EXPECT_NE(0, nCode);
    }
}

// The first call on a fresh connection may be a primitive: it opens the connection and must
// then use it. Before, the primitive could read the handle before opening it, so the first
// put or peek failed with 107 on a connection that it had just opened.
TEST(LineReading, APrimitiveAsTheFirstCallOpensAndUsesTheConnection) {
    MNET_REQUIRE_SHARED_DIR();
    mnettest::PipeName endpoint;
    int nPort = 0;
    int listeners[] = {mnettest::rawTcpListen(&nPort), mnettest::rawUnixListen(endpoint.sPath)};
    ASSERT_GE(listeners[0], 0);
    ASSERT_GE(listeners[1], 0);
    for (int nListener : listeners) {
        auto fresh = [&]() -> MirelSmartPointer<MirelNet::MirelConnection> {
            if (nListener == listeners[0]) {
                return MirelSmartPointer<MirelNet::MirelConnection>(
                    new MirelNet::MirelSocketConnection("127.0.0.1", nPort, false, false));
            }
            return MirelSmartPointer<MirelNet::MirelConnection>(
                new MirelNet::MirelPipeConnection(endpoint.sName));
        };
        std::future<mnettest::Bytes> peer = std::async(std::launch::async, [nListener] {
            int nPut = ::accept(nListener, nullptr, nullptr);
            mnettest::Bytes put = mnettest::rawReceive(nPut, 4);
            int nPeek = ::accept(nListener, nullptr, nullptr);
            mnettest::rawSendAll(nPeek, mnettest::Bytes{'o', 'k', '\r', '\n'});
            mnettest::rawReceive(nPeek, 1);  // until the client closes
            ::close(nPut);
            ::close(nPeek);
            return put;
        });
        auto spPut = fresh();
        EXPECT_NO_THROW(spPut->put(const_cast<char*>("ABCD"), 4));
        auto spPeek = fresh();
        char szLine[16];
        int nSize = sizeof szLine;
        int nCode = 0;
        EXPECT_TRUE(spPeek->peekLine(szLine, nSize, nCode));
        EXPECT_STREQ("ok", szLine);
        spPeek->disconnect();
        ASSERT_EQ(std::future_status::ready, peer.wait_for(std::chrono::seconds(5)));
        EXPECT_EQ("41 42 43 44", mnettest::hex(peer.get()));
    }
    for (int nListener : listeners) {
        ::close(nListener);
    }
}
