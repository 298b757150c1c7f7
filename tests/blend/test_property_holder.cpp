// Named float properties: registration keeps existing values, reads register missing names, names are
// case-sensitive, and the holder works through its interface.
#include <memory>

#include <gtest/gtest.h>

#include "animator/blend/PropertyHolderImpl.h"

namespace {

using Animator::IPropertyHolder;
using Animator::PropertyHolderImpl;

TEST(PropertyHolder, FreshHolderReadsZero) {
    PropertyHolderImpl holder;
    EXPECT_EQ(holder.get_property("speed"), 0.0f);
    EXPECT_EQ(holder.get_property(""), 0.0f);
}

TEST(PropertyHolder, RegisterKeepsFirstValueAndSetOverrides) {
    PropertyHolderImpl holder;
    holder.reg_property("speed", 2.0f);
    holder.reg_property("speed", 5.0f);
    EXPECT_EQ(holder.get_property("speed"), 2.0f);
    holder.set_property("speed", 5.0f);
    EXPECT_EQ(holder.get_property("speed"), 5.0f);
}

TEST(PropertyHolder, SetAddsMissingName) {
    PropertyHolderImpl holder;
    holder.set_property("turn_angle", -1.25f);
    EXPECT_EQ(holder.get_property("turn_angle"), -1.25f);
}

TEST(PropertyHolder, NamesAreCaseSensitiveAndReadRegistersThem) {
    PropertyHolderImpl holder;
    holder.set_property("speed", 3.0f);
    EXPECT_EQ(holder.get_property("Speed"), 0.0f);
    // The read registered "Speed" with 0, so a later registration does not change it.
    holder.reg_property("Speed", 9.0f);
    EXPECT_EQ(holder.get_property("Speed"), 0.0f);
    EXPECT_EQ(holder.get_property("speed"), 3.0f);
}

TEST(PropertyHolder, ManyPropertiesSurviveRehashing) {
    PropertyHolderImpl holder;
    for (int i = 0; i < 200; ++i) holder.set_property("p" + std::to_string(i), static_cast<float>(i));
    for (int i = 0; i < 200; ++i) EXPECT_EQ(holder.get_property("p" + std::to_string(i)), static_cast<float>(i));
}

TEST(PropertyHolder, WorksThroughInterface) {
    std::unique_ptr<IPropertyHolder> holder = std::make_unique<PropertyHolderImpl>();
    holder->reg_property("num_cycles", 4.0f);
    holder->set_property("final_heading", 0.5f);
    EXPECT_EQ(holder->get_property("num_cycles"), 4.0f);
    EXPECT_EQ(holder->get_property("final_heading"), 0.5f);
}

}  // namespace
