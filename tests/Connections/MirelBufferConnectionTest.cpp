#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "MirelBufferConnection.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelBufferConnection;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;
using MirelSupport::MirelString;
using mnettest::Bytes;

namespace {

// Exposes the capacity, which only the class itself can see.
struct Inspectable : MirelBufferConnection {
    int capacity() const { return m_nBufferSize; }
};

void putBytes(MirelBufferConnection& c, int n) {
    std::vector<char> bytes(static_cast<std::size_t>(n), 'x');
    c.put(bytes.data(), n);
}

}  // namespace

TEST(MirelBufferConnection, NewConnectionIsEmpty) {
    MirelSmartPointer<MirelBufferConnection> sp(new MirelBufferConnection());
    EXPECT_EQ(-1, sp->size());
    EXPECT_EQ(nullptr, sp->buf());
    char c;
    int n = 1, nError = 7;
    EXPECT_FALSE(sp->peekBytes(&c, n, nError));
    EXPECT_EQ(0, n);
    EXPECT_EQ(0, nError);
}

TEST(MirelBufferConnection, GrowsInWholeStepsOf8192BytesByTheSizeOfTheWrite) {
    MirelSmartPointer<Inspectable> sp(new Inspectable());
    sp->transfer(1);
    EXPECT_EQ(4, sp->size());
    EXPECT_EQ(8192, sp->capacity());

    MirelSmartPointer<Inspectable> spExact(new Inspectable());
    putBytes(*spExact, 8192);
    EXPECT_EQ(8192, spExact->capacity());
    putBytes(*spExact, 1);
    EXPECT_EQ(16384, spExact->capacity());

    MirelSmartPointer<Inspectable> spFull(new Inspectable());
    putBytes(*spFull, 8000);
    putBytes(*spFull, 192);  // reaches the capacity exactly
    EXPECT_EQ(8192, spFull->capacity());

    MirelSmartPointer<Inspectable> spLate(new Inspectable());
    putBytes(*spLate, 8000);
    putBytes(*spLate, 500);  // grows by a whole step, whatever was left
    EXPECT_EQ(16384, spLate->capacity());
    EXPECT_EQ(8500, spLate->size());
}

TEST(MirelBufferConnection, WriteOfZeroBytesStartsTheData) {
    MirelSmartPointer<MirelBufferConnection> sp(new MirelBufferConnection());
    long nError = -1;
    EXPECT_EQ(0, sp->transfer("", 0, &nError));
    EXPECT_EQ(0, nError);
    EXPECT_EQ(0, sp->size());
    char c;
    int n = 1, nCode = 0;
    EXPECT_TRUE(sp->peekBytes(&c, n, nCode));
    EXPECT_EQ(0, n);
}

TEST(MirelBufferConnection, GrowthThatCannotBeCountedFailsWithNoMemoryAndStoresNothing) {
    MirelSmartPointer<MirelBufferConnection> sp(new MirelBufferConnection());
    sp->transfer(7);
    char c = 0;
    try {
        sp->put(&c, INT_MAX);  // the size check comes before any byte is read
        FAIL() << "no exception";
    } catch (const MirelException& e) {
        EXPECT_EQ("MirelConnection::put: transfer failed.", e.getText());
        EXPECT_EQ(ENOMEM, e.getCode());
    }
    EXPECT_EQ(4, sp->size());
    EXPECT_EQ(7, sp->receiveInt());
    long nError = 0;
    EXPECT_EQ(-1, sp->transfer(&c, -1, &nError));
    EXPECT_EQ(EINVAL, nError);
}

TEST(MirelBufferConnection, ReceivedDatagramReadsInOrderThenFailsWithCodeZero) {
    Bytes bytes = {0, 0, 0, 2, 0, 7};
    MirelSmartPointer<MirelBufferConnection> sp(
        new MirelBufferConnection(bytes.data(), 6, "client"));
    bytes[3] = 9;  // the connection holds its own copy
    EXPECT_EQ("client", sp->getRemoteName());
    EXPECT_EQ(2, sp->receiveInt());
    EXPECT_EQ(7, sp->receiveShort());
    try {
        sp->receiveShort();
        FAIL() << "no exception";
    } catch (const MirelException& e) {
        EXPECT_EQ("MirelConnection::get: failed read", e.getText());
        EXPECT_EQ(0, e.getCode());
    }
    char c;
    int n = 4, nError = 0;
    EXPECT_TRUE(sp->peekBytes(&c, n, nError));
    EXPECT_EQ(0, n);
}

TEST(MirelBufferConnection, ReadingAfterDisconnectReturnsRemainingData) {
    MirelSmartPointer<MirelBufferConnection> sp(new MirelBufferConnection());
    sp->transfer(11);
    sp->transfer(22);
    EXPECT_EQ(11, sp->receiveInt());
    sp->disconnect();
    sp->disconnect();
    EXPECT_EQ(22, sp->receiveInt());
    EXPECT_EQ(8, sp->size());
}

TEST(MirelBufferConnection, ReceiveWithoutWaitReturnsWhatIsLeft) {
    Bytes bytes = {1, 2, 3};
    MirelSmartPointer<MirelBufferConnection> sp(new MirelBufferConnection(bytes.data(), 3, ""));
    char out[8];
    long nError = 5;
    EXPECT_EQ(3, sp->receive(out, 8, &nError, false));
    EXPECT_EQ(0, nError);
    EXPECT_EQ(0, sp->receive(out, 8, &nError, true));
}
