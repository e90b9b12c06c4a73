#include <gtest/gtest.h>

#include <cstddef>

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

// A list node whose storage outlives it: a slot of a static pool, so that a pointer that
// reaches a destroyed node reads a node marked dead instead of freed memory (which only a
// sanitizer would see). Each case uses a handful of nodes; the pool wraps after many cases.
struct Node : MirelObjectBase {
    Node() : m_bAlive(true) {}
    ~Node() override {
        m_bAlive = false;
        ++s_nDestroyed;
    }
    static void* operator new(std::size_t nSize) {
        EXPECT_LE(nSize, sizeof(Slot));
        return &s_pool[s_nNext++ % kSlots];
    }
    static void operator delete(void*) {}
    // A list of nCount nodes; each node's only reference is held by its predecessor.
    static MirelSmartPointer<Node> list(int nCount) {
        MirelSmartPointer<Node> spHead;
        for (int i = 0; i < nCount; ++i) {
            MirelSmartPointer<Node> spNode(new Node());
            spNode->spNext = spHead;
            spHead = spNode;
        }
        return spHead;
    }

    MirelSmartPointer<Node> spNext;
    bool m_bAlive;

    static int s_nDestroyed;

private:
    struct Slot {
        alignas(std::max_align_t) unsigned char bytes[64];
    };
    static const int kSlots = 64;
    static Slot s_pool[kSlots];
    static int s_nNext;
};

int Node::s_nDestroyed = 0;
Node::Slot Node::s_pool[Node::kSlots];
int Node::s_nNext = 0;

// The node is alive and only one pointer (the one given) refers to it.
::testing::AssertionResult aliveWithOneReference(const MirelSmartPointer<Node>& sp) {
    if (!sp) {
        return ::testing::AssertionFailure() << "null";
    }
    if (!sp->m_bAlive) {
        return ::testing::AssertionFailure() << "points to a destroyed node";
    }
    if (sp->refCount() != 1) {
        return ::testing::AssertionFailure() << "count " << sp->refCount();
    }
    return ::testing::AssertionSuccess();
}

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

    int nDestroyedBefore = Node::s_nDestroyed;  // and with the only reference
    MirelSmartPointer<Node> spOnly(new Node());
    MirelSmartPointer<Node>& spOnlySelf = spOnly;
    spOnly = spOnlySelf;
    EXPECT_TRUE(aliveWithOneReference(spOnly));
    spOnly = static_cast<Node*>(spOnly);
    EXPECT_TRUE(aliveWithOneReference(spOnly));
    EXPECT_EQ(nDestroyedBefore, Node::s_nDestroyed);
}

TEST(MirelSmartPointer, WalkingAListWhoseNodesHoldTheOnlyReferenceToTheNext) {
    static_assert(sizeof(Node) <= 64, "a node fits a pool slot");
    int nDestroyedBefore = Node::s_nDestroyed;
    MirelSmartPointer<Node> spHead = Node::list(3);
    spHead = spHead->spNext;
    EXPECT_TRUE(aliveWithOneReference(spHead));
    EXPECT_EQ(nDestroyedBefore + 1, Node::s_nDestroyed);
    spHead = static_cast<Node*>(spHead->spNext);  // by raw pointer
    EXPECT_TRUE(aliveWithOneReference(spHead));
    EXPECT_EQ(nDestroyedBefore + 2, Node::s_nDestroyed);
    spHead = spHead->spNext;
    EXPECT_FALSE(spHead);
    EXPECT_EQ(nDestroyedBefore + 3, Node::s_nDestroyed);
}

TEST(MirelSmartPointer, UnlinkingANodeInsideTheListKeepsTheRest) {
    int nDestroyedBefore = Node::s_nDestroyed;
    MirelSmartPointer<Node> spHead = Node::list(3);
    spHead->spNext = spHead->spNext->spNext;  // the old second node holds the only reference
    EXPECT_TRUE(aliveWithOneReference(spHead->spNext));
    EXPECT_FALSE(spHead->spNext->spNext);
    EXPECT_EQ(nDestroyedBefore + 1, Node::s_nDestroyed);
}

TEST(MirelSmartPointer, ReassignmentReleasesTheOldObjectAndTakesTheNew) {
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
