#include <gtest/gtest.h>

#include "MirelEvent.hpp"
#include "MirelObjectBase.hpp"
#include "MirelSmartPointer.hpp"

using MirelSupport::MirelEvent;
using MirelSupport::MirelObjectBase;
using MirelSupport::MirelSmartPointer;

namespace {

struct Counted : MirelObjectBase {
    explicit Counted(int* pnDestroyed = 0) : m_pnDestroyed(pnDestroyed) {}
    ~Counted() override {
        if (m_pnDestroyed) {
            ++*m_pnDestroyed;
        }
    }
    int* m_pnDestroyed;
};

// First base is not the counted one, like a callback or a proxy dependent.
struct EventFirst : MirelEvent, MirelObjectBase {};

}  // namespace

TEST(MirelSmartPointer, FirstPointerTakesTheOnlyReferenceAndLastReleaseDestroys) {
    int nDestroyed = 0;
    {
        MirelSmartPointer<Counted> sp(new Counted(&nDestroyed));
        EXPECT_EQ(1, sp->refCount());
        {
            MirelSmartPointer<Counted> spCopy(sp);
            EXPECT_EQ(2, sp->refCount());
        }
        EXPECT_EQ(1, sp->refCount());
    }
    EXPECT_EQ(1, nDestroyed);
}

TEST(MirelSmartPointer, AssigningTheSameObjectLeavesTheCountUnchanged) {
    MirelSmartPointer<Counted> sp(new Counted());
    MirelSmartPointer<Counted> spOther(sp);
    MirelSmartPointer<Counted>& spSelf = sp;
    sp = spSelf;
    sp = spOther;
    sp = static_cast<Counted*>(spOther);
    EXPECT_EQ(2, sp->refCount());
}

TEST(MirelSmartPointer, ReassignmentReleasesTheOldObjectBeforeTakingTheNew) {
    int nDestroyed = 0;
    MirelSmartPointer<Counted> sp(new Counted(&nDestroyed));
    Counted* pSecond = new Counted();
    sp = pSecond;
    EXPECT_EQ(1, nDestroyed);
    EXPECT_EQ(1, pSecond->refCount());
    sp = static_cast<Counted*>(0);
    MirelSmartPointer<Counted> spNull;
    MirelSmartPointer<Counted> spNullCopy(spNull);
    EXPECT_TRUE(spNull == spNullCopy);
    EXPECT_FALSE(static_cast<Counted*>(sp));
}

TEST(MirelSmartPointer, GetOwnershipHandsTheReferenceOverWithoutReleasing) {
    int nDestroyed = 0;
    Counted* pRaw = 0;
    {
        MirelSmartPointer<Counted> sp(new Counted(&nDestroyed));
        pRaw = sp.getOwnership();
        EXPECT_FALSE(static_cast<Counted*>(sp));
        EXPECT_EQ(1, pRaw->refCount());
    }
    EXPECT_EQ(0, nDestroyed);
    pRaw->release();
    EXPECT_EQ(1, nDestroyed);
}

TEST(MirelSmartPointer, EqualityIsIdentityAndNoPointersAreOrdered) {
    MirelSmartPointer<Counted> spA(new Counted());
    MirelSmartPointer<Counted> spB(new Counted());
    MirelSmartPointer<Counted> spA2(spA);
    EXPECT_EQ(1, spA == spA2);
    EXPECT_EQ(0, spA == spB);
    EXPECT_EQ(0, spA < spB);
    EXPECT_EQ(0, spB < spA);
    EXPECT_EQ(0, spA < spA);
}

TEST(MirelSmartPointer, CountsOnTheObjectBaseWhenItIsNotTheFirstBase) {
    EventFirst* pObject = new EventFirst();
    MirelSmartPointer<EventFirst> sp(pObject);
    MirelSmartPointer<EventFirst> spCopy(sp);
    EXPECT_EQ(2, static_cast<MirelObjectBase*>(pObject)->refCount());
    sp->set();  // the event part is intact
    EXPECT_TRUE(pObject->wait(0));
}
