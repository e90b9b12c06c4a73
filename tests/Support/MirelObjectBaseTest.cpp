#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "MirelBufferConnection.hpp"
#include "MirelObjectBase.hpp"
#include "MirelSmartPointer.hpp"

using MirelSupport::MirelObjectBase;
using MirelSupport::MirelSmartPointer;

namespace outer {
namespace inner {
struct Nested : MirelObjectBase {};
}  // namespace inner
}  // namespace outer

TEST(MirelObjectBase, ReportsTheMostDerivedClassWithoutNamespace) {
    MirelSmartPointer<MirelNet::MirelConnection> sp(new MirelNet::MirelBufferConnection());
    EXPECT_EQ("MirelBufferConnection", sp->getClassName());
    EXPECT_TRUE(sp->isA("MirelBufferConnection"));
    EXPECT_FALSE(sp->isA("MirelConnection"));
    MirelSmartPointer<outer::inner::Nested> spNested(new outer::inner::Nested());
    EXPECT_EQ("Nested", spNested->getClassName());
}

TEST(MirelObjectBase, ReferenceCountIsExactUnderConcurrentCopies) {
    MirelSmartPointer<outer::inner::Nested> sp(new outer::inner::Nested());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&sp] {
            for (int i = 0; i < 20000; ++i) {
                MirelSmartPointer<outer::inner::Nested> spCopy(sp);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(1, sp->refCount());
}
