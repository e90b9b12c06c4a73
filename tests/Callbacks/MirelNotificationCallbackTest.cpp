#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "MirelBufferConnection.hpp"
#include "MirelCallbackContainer.hpp"
#include "MirelNotificationCallback.hpp"

using MirelNet::MirelBufferConnection;
using MirelNet::MirelCallbackContainer;
using MirelNet::MirelConnection;
using MirelNet::MirelNotificationCallback;
using MirelSupport::MirelException;
using MirelSupport::MirelObjectBase;
using MirelSupport::MirelSmartPointer;

namespace {

// Reads one int per notification; throws instead when asked to.
class ReadingCallback : public MirelNotificationCallback {
public:
    ReadingCallback(int nId, std::atomic<bool>* pDestroyed = 0)
        : MirelNotificationCallback(nId),
          m_nValue(0),
          m_bSetDuringDoCallback(false),
          m_bThrow(false),
          m_pDestroyed(pDestroyed) {}
    ~ReadingCallback() {
        if (m_pDestroyed) {
            *m_pDestroyed = true;
        }
    }

    int m_nValue;
    bool m_bSetDuringDoCallback;
    bool m_bThrow;

protected:
    void doCallback(MirelSmartPointer<MirelConnection>& spConnection) override {
        m_bSetDuringDoCallback = isSet();
        if (m_bThrow) {
            throw MirelException(MirelSupport::MirelString("ReadingCallback: refused."), 5);
        }
        m_nValue = spConnection->receiveInt();
    }

private:
    std::atomic<bool>* m_pDestroyed;
};

MirelSmartPointer<MirelConnection> connectionHoldingInt(int nValue) {
    MirelSmartPointer<MirelConnection> spConnection(new MirelBufferConnection());
    spConnection->transfer(nValue);
    return spConnection;
}

int countOf(MirelNotificationCallback* pCallback) {
    return static_cast<MirelObjectBase*>(pCallback)->refCount();
}

}  // namespace

TEST(MirelNotificationCallback, CallbackSetsEventAfterDoCallbackAndWakesWaiter) {
    MirelSmartPointer<ReadingCallback> spCallback(new ReadingCallback(3));
    std::atomic<bool> bWoke(false);
    std::thread waiter([&] { bWoke = spCallback->wait(5000); });

    MirelSmartPointer<MirelConnection> spConnection = connectionHoldingInt(42);
    spCallback->callback(spConnection);
    waiter.join();

    EXPECT_TRUE(bWoke);
    EXPECT_EQ(42, spCallback->m_nValue);
    EXPECT_FALSE(spCallback->m_bSetDuringDoCallback);
    EXPECT_EQ(3, spCallback->getId());
}

TEST(MirelNotificationCallback, ThrowingDoCallbackPassesExceptionAndLeavesEventUnset) {
    MirelSmartPointer<ReadingCallback> spCallback(new ReadingCallback(1));
    spCallback->m_bThrow = true;
    MirelSmartPointer<MirelConnection> spConnection = connectionHoldingInt(7);
    try {
        spCallback->callback(spConnection);
        FAIL() << "no exception";
    } catch (const MirelException& e) {
        EXPECT_EQ("ReadingCallback: refused.", e.getText());
        EXPECT_EQ(5, e.getCode());
    }
    EXPECT_FALSE(spCallback->wait(50));
}

TEST(MirelNotificationCallback, SmartPointerCountsOnObjectBaseNotOnEventBase) {
    std::atomic<bool> bDestroyed(false);
    ReadingCallback* pCallback = new ReadingCallback(9, &bDestroyed);
    // The premise of the test: the counted part does not start where the object starts.
    ASSERT_NE(static_cast<void*>(pCallback),
              static_cast<void*>(static_cast<MirelObjectBase*>(pCallback)));
    {
        MirelSmartPointer<MirelNotificationCallback> spFirst(pCallback);
        EXPECT_EQ(1, countOf(pCallback));
        MirelSmartPointer<MirelNotificationCallback> spSecond(spFirst);
        EXPECT_EQ(2, countOf(pCallback));
        MirelCallbackContainer container;
        container.add(spFirst);
        EXPECT_EQ(3, countOf(pCallback));
        pCallback->set();
        EXPECT_TRUE(pCallback->isSet());
    }
    EXPECT_TRUE(bDestroyed);
}
