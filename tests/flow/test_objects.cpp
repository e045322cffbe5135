// Objects, handles, typed values and casts.
#include <gtest/gtest.h>

#include "flow/Types.h"
#include "tests/support/NodeHarness.h"

using namespace FD;
using FD::testing::hostError;

namespace {

// The type a CastException<T> names, or "(other)" when something else is thrown.
template <class T, class F>
std::string castType(F&& f) {
    try {
        f();
    } catch (CastException<T>* e) {
        std::string t = e->type();
        delete e;
        return t;
    } catch (BaseException* e) {
        delete e;
    }
    return "(other)";
}

}  // namespace

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

        RCPtr<Vector<ObjectRef>> list(new Vector<ObjectRef>);
        list->push_back(a);
        list->push_back(a);
        ObjectRef copy = list->clone();
        EXPECT_EQ(a->getRefCount(), 5);
    }
    EXPECT_EQ(Object::liveCount(), before);
}

TEST(Casts, ExactTypeIsRequiredAndTheFoundTypeIsNamed) {
    ObjectRef i(new Int(18)), f(new Float(18.0f)), s(new String("FREE_SPACE"));
    EXPECT_EQ(dereference_cast<int>(i), 18);
    EXPECT_EQ(dereference_cast<float>(f), 18.0f);
    EXPECT_EQ(std::string(object_cast<String>(s)), "FREE_SPACE");

    EXPECT_EQ(hostError([&] { dereference_cast<float>(i); }), "expected float, got int 18");
    EXPECT_EQ(castType<float>([&] { dereference_cast<float>(i); }), "int");
    EXPECT_EQ(castType<int>([&] { dereference_cast<int>(f); }), "float");
    EXPECT_EQ(castType<String>([&] { object_cast<String>(f); }), "float");
    EXPECT_EQ(castType<int>([&] { dereference_cast<int>(ObjectRef()); }), "nil");
}

TEST(Casts, HandleConversionToAWrongTypeIsAGeneralException) {
    ObjectRef list(new Vector<ObjectRef>);
    std::string err = hostError([&] { RCPtr<Matrix<float>> m = list; });
    EXPECT_NE(err.find("Matrix<float>"), std::string::npos) << err;
    EXPECT_NE(err.find("Vector<ObjectRef>"), std::string::npos) << err;
    EXPECT_EQ(list->getRefCount(), 1);
}
