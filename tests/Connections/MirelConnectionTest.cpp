// The typed wire format and the establish/handshake rules of the connection base, checked byte
// for byte on an in-memory transport with separate directions.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cerrno>
#include <climits>
#include <deque>
#include <vector>

#include "MirelBufferConnection.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelBufferConnection;
using MirelNet::MirelConnection;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;
using MirelSupport::MirelString;
using mnettest::Bytes;
using mnettest::hex;

namespace {

// A transport whose sent bytes and bytes to receive are kept apart, and which runs the
// service handshake while it connects, as the socket transports do.
class TwoWayConnection : public MirelConnection {
public:
    TwoWayConnection() : MirelConnection(true, MirelString("peer")) {}

    void disconnect() override { cleanup(); }
    long transfer(const char* buf, long bufLen, long* error) override {
        if (m_nSendError != 0) {
            *error = m_nSendError;
            return -1;
        }
        *error = 0;
        m_sent.insert(m_sent.end(), buf, buf + bufLen);
        m_sendCalls.push_back(bufLen);
        return bufLen;
    }
    using MirelConnection::transfer;
    long receive(char* bufPtr, long toRead, long* error, bool) override {
        *error = 0;
        long n = 0;
        while (n < toRead && !m_incoming.empty()) {
            bufPtr[n++] = static_cast<char>(m_incoming.front());
            m_incoming.pop_front();
        }
        return n;
    }
    bool peekBytes(void*, int& nSize, int& nErrorCode) override {
        nSize = 0;
        nErrorCode = 0;
        return false;
    }
    void feed(const Bytes& bytes) {
        m_incoming.insert(m_incoming.end(), bytes.begin(), bytes.end());
    }

    Bytes m_sent;
    std::vector<long> m_sendCalls;  // the length of each transfer call
    std::deque<unsigned char> m_incoming;
    long m_nSendError = 0;
    int m_nEstablishCode = 0;
    MirelString m_sEstablishText;
    int m_nInitializeCalls = 0;
    int m_nEstablishCalls = 0;

protected:
    void initialize() override { ++m_nInitializeCalls; }
    int establishImpl(MirelString& sExceptionMessage) override {
        ++m_nEstablishCalls;
        if (m_bConnected) {
            return 0;
        }
        if (m_nEstablishCode != 0 || !m_sEstablishText.empty()) {
            sExceptionMessage = m_sEstablishText;
            return m_nEstablishCode;
        }
        if (!connectToServiceImpl()) {
            sExceptionMessage =
                "MirelConnection::connectToService: connection to remote service failed.";
            return 0;
        }
        m_bConnected = true;
        initialize();
        return 0;
    }
};

template <class F>
void expectThrows(F f, const std::string& sText, int nCode) {
    try {
        f();
        ADD_FAILURE() << "no exception, expected: " << sText;
    } catch (const MirelException& e) {
        EXPECT_EQ(sText, e.getText());
        EXPECT_EQ(nCode, e.getCode());
    }
}

Bytes written(void (*write)(MirelConnection&)) {
    MirelSmartPointer<MirelBufferConnection> sp(new MirelBufferConnection());
    write(*sp);
    return mnettest::bytesOf(*sp);
}

}  // namespace

TEST(MirelConnectionWire, EveryValueHasItsFixedBigEndianBytes) {
    struct Case {
        void (*write)(MirelConnection&);
        const char* pszBytes;
    } cases[] = {
        {[](MirelConnection& c) { c.transfer(true); }, "00 01"},
        {[](MirelConnection& c) { c.transfer(false); }, "00 00"},
        {[](MirelConnection& c) { c.transfer(-2); }, "ff ff ff fe"},
        {[](MirelConnection& c) { c.transfer(static_cast<short>(-2)); }, "ff fe"},
        {[](MirelConnection& c) { c.transfer(0x01020304); }, "01 02 03 04"},
        {[](MirelConnection& c) { c.transfer(-2L); }, "ff ff ff fe"},
        {[](MirelConnection& c) { c.transfer(MirelString()); }, "00 00 00 00"},
        {[](MirelConnection& c) { c.transfer(MirelString("abc")); }, "00 00 00 03 61 62 63"},
        {[](MirelConnection& c) { c.transfer("abc"); }, "00 00 00 03 61 62 63"},
        {[](MirelConnection& c) { c.transferACK(); }, "00 01 00 00"},
        {[](MirelConnection& c) { c.transferError(); }, "00 01 ff ff"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.pszBytes, hex(written(c.write)));
    }
}

TEST(MirelConnectionWire, LongTakesBothSpellingsOfA32BitPatternAndRefusesWiderValues) {
    EXPECT_EQ("80 00 00 00",
              hex(written([](MirelConnection& c) { c.transfer(static_cast<long>(INT32_MIN)); })));
    if (sizeof(long) > 4) {
        EXPECT_EQ(
            "ff ff ff ff",
            hex(written([](MirelConnection& c) { c.transfer(static_cast<long>(0xffffffffL)); })));
        MirelSmartPointer<MirelBufferConnection> sp(new MirelBufferConnection());
        expectThrows([&] { sp->transfer(static_cast<long>(0x100000000LL)); },
                     "MirelConnection::transfer: value out of range.", EOVERFLOW);
        expectThrows([&] { sp->transfer(static_cast<long>(-2147483649LL)); },
                     "MirelConnection::transfer: value out of range.", EOVERFLOW);
        EXPECT_EQ(-1, sp->size());
    }
    Bytes bytes = {0xff, 0xff, 0xff, 0xff};
    MirelSmartPointer<MirelBufferConnection> spIn(new MirelBufferConnection(bytes.data(), 4, ""));
    EXPECT_EQ(-1L, spIn->receiveLong());
}

TEST(MirelConnectionWire, ReadsBackWhatWasWritten) {
    MirelSmartPointer<MirelBufferConnection> sp(new MirelBufferConnection());
    sp->transfer(123456789);
    sp->transfer(static_cast<short>(-300));
    sp->transfer(-5L);
    sp->transfer(true);
    sp->transfer(MirelString("hello"));
    sp->transferACK();
    EXPECT_EQ(123456789, sp->receiveInt());
    EXPECT_EQ(-300, sp->receiveShort());
    EXPECT_EQ(-5L, sp->receiveLong());
    EXPECT_EQ(1, sp->receiveShort());
    EXPECT_EQ("hello", sp->receiveString());
    EXPECT_EQ(1, sp->receiveShort());
    EXPECT_EQ(0, sp->receiveShort());
}

TEST(MirelConnectionWire, StringWithZeroByteArrivesCutButWholeFrameIsConsumed) {
    Bytes bytes = {0, 0, 0, 5, 'a', 'b', 0, 'c', 'd', 0, 7};
    MirelSmartPointer<MirelBufferConnection> sp(new MirelBufferConnection(bytes.data(), 11, ""));
    EXPECT_EQ("ab", sp->receiveString());
    EXPECT_EQ(7, sp->receiveShort());
}

TEST(MirelConnectionWire, EmptyStringReadsNoFurtherByte) {
    Bytes bytes = {0, 0, 0, 0, 0, 9};
    MirelSmartPointer<MirelBufferConnection> sp(new MirelBufferConnection(bytes.data(), 6, ""));
    EXPECT_EQ("", sp->receiveString());
    EXPECT_EQ(9, sp->receiveShort());
}

TEST(MirelConnectionWire, OversizedStringLengthIsRefusedBeforeAnythingIsRead) {
    for (Bytes bytes : {Bytes{0xff, 0xff, 0xff, 0xff, 0, 3}, Bytes{0x01, 0x00, 0x00, 0x01, 0, 3}}) {
        MirelSmartPointer<MirelBufferConnection> sp(new MirelBufferConnection(bytes.data(), 6, ""));
        expectThrows([&] { sp->receiveString(); },
                     "MirelConnection::receiveString: string too long.", EMSGSIZE);
        EXPECT_EQ(3, sp->receiveShort());
    }
}

TEST(MirelConnectionWire, StringOfExactlyTheLimitIsAccepted) {
    MirelSmartPointer<MirelBufferConnection> sp(new MirelBufferConnection());
    MirelString sBig(MirelConnection::MAX_STRING_LENGTH, 'x');
    sp->transfer(sBig);
    EXPECT_EQ(sBig.size(), sp->receiveString().size());
}

TEST(MirelConnection, PartialReadThrowsFailedReadWithTheTransportCode) {
    Bytes bytes = {0, 0, 0, 2, 0, 7};
    MirelSmartPointer<MirelBufferConnection> sp(new MirelBufferConnection(bytes.data(), 6, ""));
    EXPECT_EQ(2, sp->receiveInt());
    EXPECT_EQ(7, sp->receiveShort());
    expectThrows([&] { sp->receiveShort(); }, "MirelConnection::get: failed read", 0);
    MirelSmartPointer<MirelBufferConnection> spEmpty(new MirelBufferConnection());
    expectThrows([&] { spEmpty->receiveInt(); }, "MirelConnection::get: failed read", 0);
}

TEST(MirelConnection, SendFailureThrowsPutTextWithTheTransportCode) {
    MirelSmartPointer<TwoWayConnection> sp(new TwoWayConnection());
    sp->m_nSendError = EPIPE;
    expectThrows([&] { sp->transfer(1); }, "MirelConnection::put: transfer failed.", EPIPE);
}

TEST(MirelConnection, EstablishFailureCarriesTheTransportTextAndCode) {
    MirelSmartPointer<TwoWayConnection> sp(new TwoWayConnection());
    sp->m_nEstablishCode = 111;
    sp->m_sEstablishText = "Transport::establish: refused.";
    expectThrows([&] { sp->transfer(1); }, "Transport::establish: refused.", 111);
    sp->m_nEstablishCode = 0;
    expectThrows([&] { sp->receiveInt(); }, "Transport::establish: refused.", 0);
    sp->m_sEstablishText.clear();
    sp->m_nEstablishCode = 5;
    expectThrows([&] { sp->transferACK(); }, "", 5);
    EXPECT_TRUE(sp->m_sent.empty());
}

TEST(MirelConnection, HandshakeSendsServiceLineAndNeedsPlus) {
    MirelSmartPointer<TwoWayConnection> sp(new TwoWayConnection());
    sp->setServiceName("svc");
    sp->feed({'+'});
    sp->transfer(static_cast<short>(1));
    EXPECT_EQ("73 76 63 0d 0a 00 01", hex(sp->m_sent));
    EXPECT_EQ(1, sp->m_nInitializeCalls);

    MirelSmartPointer<TwoWayConnection> spRefused(new TwoWayConnection());
    spRefused->setServiceName("svc");
    spRefused->feed({'-'});
    expectThrows([&] { spRefused->transfer(1); },
                 "MirelConnection::connectToService: connection to remote service failed.", 0);

    MirelSmartPointer<TwoWayConnection> spSilent(new TwoWayConnection());
    spSilent->setServiceName("svc");
    expectThrows([&] { spSilent->establish(); },
                 "MirelConnection::connectToService: connection to remote service failed.", 0);
}

TEST(MirelConnection, NoServiceNameMeansNoHandshakeBytes) {
    MirelSmartPointer<TwoWayConnection> sp(new TwoWayConnection());
    sp->transfer(false);
    EXPECT_EQ("00 00", hex(sp->m_sent));
    sp->connectToService();
}

// A transport written by a user supplies the primitives only, and gets one call per put.
TEST(MirelConnection, UserTransportGetsOneTransferCallPerPut) {
    MirelSmartPointer<TwoWayConnection> sp(new TwoWayConnection());
    sp->transfer(MirelString(600, 'x'));
    sp->transfer(MirelString("abc"));
    sp->transfer(MirelString());
    sp->transferACK();
    sp->transferError();
    sp->transfer(true);
    sp->transfer(7L);
    sp->transfer(static_cast<short>(2));
    EXPECT_EQ(std::vector<long>({4, 600, 4, 3, 4, 2, 2, 2, 2, 2, 4, 2}), sp->m_sendCalls);
    EXPECT_EQ(4u + 600 + 4 + 3 + 4 + 8 + 2 + 4 + 2, sp->m_sent.size());
}

TEST(MirelConnection, SwitchingRawOffAlwaysRunsInitialize) {
    MirelSmartPointer<TwoWayConnection> sp(new TwoWayConnection());
    sp->setRaw(false);
    sp->setRaw(false);
    EXPECT_EQ(2, sp->m_nInitializeCalls);
    sp->setRaw(true);
    EXPECT_EQ(2, sp->m_nInitializeCalls);
}

TEST(MirelConnection, BaseDefaults) {
    MirelSmartPointer<TwoWayConnection> sp(new TwoWayConnection());
    EXPECT_EQ(1u, sp->getAccessRights());
    EXPECT_EQ("", sp->getServerName());
    EXPECT_EQ("", sp->getPortName());
    EXPECT_FALSE(sp->getLocalAccess());
    sp->setLocalAccess(true);
    EXPECT_TRUE(sp->getLocalAccess());
    EXPECT_EQ("peer", sp->getRemoteName());
}

// A length the peer never backs with data must not cost the memory it announces.
TEST(MirelConnectionWire, AnnouncedLengthWithoutDataAllocatesOnlyWhatArrives) {
    rusage before;
    ::getrusage(RUSAGE_SELF, &before);
    Bytes bytes = {0x01, 0x00, 0x00, 0x00, 'a', 'b', 'c'};  // 16 MiB announced, 3 bytes sent
    MirelSmartPointer<MirelBufferConnection> sp(new MirelBufferConnection(bytes.data(), 7, ""));
    expectThrows([&] { sp->receiveString(); }, "MirelConnection::get: failed read", 0);
    rusage after;
    ::getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 8 * 1024L) << "kilobytes";
}
