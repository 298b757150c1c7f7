// Named float properties: registration keeps existing values, reads register missing names with 0,
// and names are case-sensitive.
#include <string>

#include <gtest/gtest.h>

#include "animator/blend/PropertyHolderImpl.h"

namespace {

TEST(PropertyHolder, RegisterKeepsTheValueSetOverridesAndReadsRegisterZero) {
    Animator::PropertyHolderImpl holder;
    holder.reg_property("turn", 2.0f);
    holder.reg_property("turn", 5.0f);
    EXPECT_EQ(holder.get_property("turn"), 2.0f);
    holder.set_property("turn", 5.0f);
    holder.set_property("speed", 3.0f);
    EXPECT_EQ(holder.get_property("turn"), 5.0f);
    EXPECT_EQ(holder.get_property("Speed"), 0.0f);
    holder.reg_property("Speed", 9.0f);  // the read registered "Speed" with 0
    EXPECT_EQ(holder.get_property("Speed"), 0.0f);
    EXPECT_EQ(holder.get_property("speed"), 3.0f);
    for (int i = 0; i < 200; ++i) holder.set_property("p" + std::to_string(i), static_cast<float>(i));
    for (int i = 0; i < 200; ++i) EXPECT_EQ(holder.get_property("p" + std::to_string(i)), static_cast<float>(i));
}

}  // namespace
