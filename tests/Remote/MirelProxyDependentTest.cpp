#include <gtest/gtest.h>

#include "MirelBufferConnection.hpp"
#include "MirelProxyDependent.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelBufferConnection;
using MirelNet::MirelProxyDependent;
using MirelSupport::MirelNotification;
using MirelSupport::MirelSmartPointer;

TEST(MirelProxyDependent, KeepsRemoteNameAndSignedHandle) {
    MirelSmartPointer<MirelProxyDependent> spProxy(new MirelProxyDependent("pipe:qvintf1a2b", -1));
    EXPECT_EQ("pipe:qvintf1a2b", spProxy->getRemoteName());
    EXPECT_EQ(-1, spProxy->getDependentHandle());
    EXPECT_EQ("MirelProxyDependent", spProxy->getClassName());
}

TEST(MirelProxyDependent, DefaultContentIsTheNotificationIdAsOneBigEndianLong) {
    MirelSmartPointer<MirelProxyDependent> spProxy(new MirelProxyDependent("udp:127.0.0.1:5023", 7));
    MirelBufferConnection buffer;
    spProxy->addContent(buffer, MirelNotification(0x01020304L));
    spProxy->addContent(buffer, MirelNotification(-2));
    EXPECT_EQ(mnettest::hex({1, 2, 3, 4, 0xff, 0xff, 0xff, 0xfe}), mnettest::hex(mnettest::bytesOf(buffer)));
}

// The count lives in the second base; a pointer that counted on the first would corrupt it.
TEST(MirelProxyDependent, SmartPointerCountsOnTheObjectBase) {
    MirelProxyDependent* pProxy = new MirelProxyDependent("socket:localhost:5023", 3);
    MirelSmartPointer<MirelProxyDependent> spFirst(pProxy);
    {
        MirelSmartPointer<MirelProxyDependent> spSecond(spFirst);
        EXPECT_EQ(2, pProxy->refCount());
    }
    EXPECT_EQ(1, pProxy->refCount());
    EXPECT_EQ(3, spFirst->getDependentHandle());
}
