// Objects, handles, typed values and casts.
#include <gtest/gtest.h>

#include <sstream>

#include "flow/Types.h"

using namespace FD;

namespace {

template <class E, class F>
E* catchException(F&& f) {
    try {
        f();
    } catch (E* e) {
        return e;
    } catch (BaseException* e) {
        std::string m = e->message();
        delete e;
        ADD_FAILURE() << "unexpected host exception: " << m;
        return nullptr;
    }
    ADD_FAILURE() << "nothing was thrown";
    return nullptr;
}

}  // namespace

TEST(Objects, ReferenceCountingReleasesExactlyOnce) {
    long before = Object::liveCount();
    {
        ObjectRef a(new Float(1.5f));
        EXPECT_EQ(a->getRefCount(), 1);
        {
            ObjectRef b = a;
            RCPtr<Float> c = a;
            EXPECT_EQ(a->getRefCount(), 3);
            ObjectRef moved = std::move(b);
            EXPECT_EQ(a->getRefCount(), 3);
        }
        EXPECT_EQ(a->getRefCount(), 1);
        a = ObjectRef(new Int(3));  // releases the float
        EXPECT_EQ(Object::liveCount(), before + 1);
        a = a;  // self-assignment keeps the object
        EXPECT_EQ(dereference_cast<int>(a), 3);
    }
    EXPECT_EQ(Object::liveCount(), before);
}

TEST(Objects, ListsHoldTheirElements) {
    long before = Object::liveCount();
    {
        RCPtr<Vector<ObjectRef>> list(new Vector<ObjectRef>);
        ObjectRef element(new Int(7));
        list->push_back(element);
        list->push_back(element);
        EXPECT_EQ(element->getRefCount(), 3);
        ObjectRef copy = list->clone();
        EXPECT_EQ(element->getRefCount(), 5);
    }
    EXPECT_EQ(Object::liveCount(), before);
}

TEST(Objects, MatrixIsRowMajor) {
    Matrix<float> m(2, 3);
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c) m(r, c) = float(10 * r + c);
    EXPECT_EQ(m.data()[1 * 3 + 2], 12.0f);
    EXPECT_EQ(m.row(1)[0], 10.0f);
    EXPECT_EQ(m.size(), 6u);
    Matrix<std::complex<float>> z(2, 257);
    EXPECT_EQ(z(1, 256), std::complex<float>(0.0f, 0.0f));
}

TEST(Casts, ExactTypeIsRequiredAndTheFoundTypeIsNamed) {
    ObjectRef i(new Int(18));
    ObjectRef f(new Float(18.0f));
    ObjectRef s(new String("FREE_SPACE"));

    EXPECT_EQ(dereference_cast<int>(i), 18);
    EXPECT_EQ(dereference_cast<float>(f), 18.0f);
    EXPECT_EQ(std::string(object_cast<String>(s)), "FREE_SPACE");

    auto* e1 = catchException<CastException<float>>([&] { dereference_cast<float>(i); });
    ASSERT_TRUE(e1);
    EXPECT_EQ(e1->type(), "int");
    EXPECT_EQ(e1->value(), "18");
    EXPECT_EQ(e1->message(), "expected float, got int 18");
    delete e1;

    auto* e2 = catchException<CastException<int>>([&] { dereference_cast<int>(f); });
    ASSERT_TRUE(e2);
    EXPECT_EQ(e2->type(), "float");
    delete e2;

    auto* e3 = catchException<CastException<String>>([&] { object_cast<String>(f); });
    ASSERT_TRUE(e3);
    EXPECT_EQ(e3->type(), "float");
    delete e3;

    auto* e4 = catchException<CastException<int>>([&] { dereference_cast<int>(ObjectRef()); });
    ASSERT_TRUE(e4);
    EXPECT_EQ(e4->type(), "nil");
    delete e4;
}

TEST(Casts, HandleConversionToAWrongTypeIsAGeneralException) {
    ObjectRef list(new Vector<ObjectRef>);
    auto* e = catchException<GeneralException>([&] { RCPtr<Matrix<float>> m = list; });
    ASSERT_TRUE(e);
    EXPECT_NE(e->message().find("Matrix<float>"), std::string::npos) << e->message();
    EXPECT_NE(e->message().find("Vector<ObjectRef>"), std::string::npos) << e->message();
    delete e;
    EXPECT_EQ(list->getRefCount(), 1);
}

TEST(Parameters, MissingNameIsAnErrorAndReadsAreRecorded) {
    ParameterSet p;
    p.add("ADVANCE", ObjectRef(new Int(160)));
    EXPECT_EQ(dereference_cast<int>(p.get("ADVANCE")), 160);
    auto* e = catchException<GeneralException>([&] { p.get("SAMPLING_RATE"); });
    ASSERT_TRUE(e);
    EXPECT_NE(e->message().find("SAMPLING_RATE"), std::string::npos);
    delete e;
    EXPECT_EQ(p.namesRead(), (std::vector<std::string>{"ADVANCE", "SAMPLING_RATE"}));
}
