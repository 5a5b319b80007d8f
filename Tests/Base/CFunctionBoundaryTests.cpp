#include "Base/CFunctionBoundary.h"

#include <gtest/gtest.h>

#include <stdexcept>

using Base::Thrown;

TEST(CFunctionBoundary, ReturnsTheBodysResultOrTheConventionsFailure) {
    std::vector<Thrown> seen;
    const auto onThrow = [&](Thrown thrown) {
        seen.push_back(thrown);
        return -1;
    };
    EXPECT_EQ(Base::CFunctionBoundary(onThrow, [] { return 7; }), 7);
    EXPECT_EQ(Base::CFunctionBoundary(onThrow, []() -> int { throw std::bad_alloc(); }), -1);
    EXPECT_EQ(Base::CFunctionBoundary(onThrow, []() -> int { throw std::runtime_error("x"); }), -1);
    EXPECT_EQ(Base::CFunctionBoundary(onThrow, []() -> int { throw 42; }), -1);
    EXPECT_EQ(seen, (std::vector<Thrown>{Thrown::OutOfMemory, Thrown::Other, Thrown::Other}));
}

TEST(CFunctionBoundary, HresultConvention) {
    EXPECT_EQ(Base::HresultBoundary<int32_t>([] { return 1; }), 1);
    EXPECT_EQ(Base::HresultBoundary<int32_t>([]() -> int32_t { throw std::bad_alloc(); }),
              static_cast<int32_t>(0x8007000E));
    EXPECT_EQ(Base::HresultBoundary<int32_t>([]() -> int32_t { throw std::logic_error("x"); }),
              static_cast<int32_t>(0x8000FFFF));
}
