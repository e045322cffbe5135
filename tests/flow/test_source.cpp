// The source record: text form and clone.
#include <gtest/gtest.h>

#include <sstream>

#include "flow/Source.h"

using namespace FD;

TEST(Source, PrintsItsFiveLinesWithFloatsAsDoubles) {
    RCPtr<Source> s(new Source);
    s->x[0] = 0.5f;
    s->x[1] = -0.25f;
    s->power = 3.75f;
    s->id = 777;
    std::ostringstream out;
    s->printOn(out);
    EXPECT_EQ(out.str(), "<Source \n<x 0.5 -0.25 0 >\n<power 3.75 >\n<id 777 >\n>\n");
    s->x[0] = 0.1f;  // not exactly 0.1: printed as the double it is, 6 significant digits
    s->power = 123456789.0f;
    out.str("");
    s->printOn(out);
    EXPECT_NE(out.str().find("<x 0.1 -0.25 0 >\n<power 1.23457e+08 >"), std::string::npos) << out.str();
}

TEST(Source, CloneIsAnIndependentCopyOfEveryField) {
    long before = Object::liveCount();
    {
        RCPtr<Source> copy;
        {
            RCPtr<Source> s(new Source);
            s->x[1] = 1.0f;
            s->power = 2.0f;
            s->id = 5;
            s->spare[1] = 42;
            s->opaque[2][1] = 0xdeadbeef;
            s->last = 9;
            copy = s->clone();
            s->id = 6;
        }
        EXPECT_EQ(copy->getRefCount(), 1);
        EXPECT_EQ(copy->x[1], 1.0f);
        EXPECT_EQ(copy->power, 2.0f);
        EXPECT_EQ(copy->id, 5);
        EXPECT_EQ(copy->spare[1], 42);
        EXPECT_EQ(copy->opaque[2][1], 0xdeadbeefu);
        EXPECT_EQ(copy->last, 9u);
    }
    EXPECT_EQ(Object::liveCount(), before);
}
