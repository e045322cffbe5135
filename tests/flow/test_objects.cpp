// Objects: reference counting and casts naming the type found.
#include <gtest/gtest.h>

#include "flow/Types.h"
#include "tests/support/NodeHarness.h"

using namespace FD;
using FD::testing::hostError;

TEST(Objects, ReferenceCountingReleasesExactlyOnce) {
    long before = Object::liveCount();
    {
        ObjectRef a(new Float(1.5f));
        {
            ObjectRef b = a;
            RCPtr<Float> c = a;
            EXPECT_EQ(a->getRefCount(), 3);
            ObjectRef moved = std::move(b);
            EXPECT_EQ(a->getRefCount(), 3);
        }
        EXPECT_EQ(a->getRefCount(), 1);
        a = ObjectRef(new Int(3));
        EXPECT_EQ(Object::liveCount(), before + 1);
        a = a;
        EXPECT_EQ(dereference_cast<int>(a), 3);
        RCPtr<Vector<ObjectRef>> list(new Vector<ObjectRef>{a, a});
        ObjectRef copy = list->clone();
        EXPECT_EQ(a->getRefCount(), 5);
    }
    EXPECT_EQ(Object::liveCount(), before);
}

TEST(Casts, ExactTypeIsRequiredAndTheFoundTypeIsNamed) {
    ObjectRef i(new Int(18)), f(new Float(18.0f));
    EXPECT_EQ(dereference_cast<float>(f), 18.0f);
    EXPECT_EQ(hostError([&] { dereference_cast<float>(i); }), "expected float, got int 18");
    EXPECT_EQ(hostError([&] { dereference_cast<int>(f); }), "expected int, got float 18");
    EXPECT_NE(hostError([&] { dereference_cast<int>(ObjectRef()); }).find("nil"), std::string::npos);
}
