// Message paths: host logging with cut-off of over-long texts, the log callback, the debug filter and
// the model clock.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "animator/util/Clock.h"
#include "animator/util/Log.h"
#include "host/Log.h"
#include "tests/support/TestSupport.h"

namespace {

const std::string LONG_TEXT(10000, 'x');

TEST(LogMessage, ForwardsTagLevelAndTextCutAt4095Characters) {
    test::LogCapture sink;
    Animator::log_message(Animator::LOG_TAG, Animator::LOG_ERROR, "error loading %s (%d)", "walk.fbx", 3);
    Animator::log_message(Animator::LOG_TAG, Animator::LOG_INFO, "%s", "100% done %d %s");
    Animator::log_message(Animator::LOG_TAG, Animator::LOG_WARNING, "%s", LONG_TEXT.c_str());
    ASSERT_EQ(sink.entries().size(), 3u);
    EXPECT_EQ(sink.entries()[0].tag, "ANIMATOR");
    EXPECT_EQ(sink.entries()[0].severity, 8);
    EXPECT_EQ(sink.entries()[0].text, "error loading walk.fbx (3)");
    EXPECT_EQ(sink.entries()[1].text, "100% done %d %s");  // not reinterpreted as a format
    EXPECT_EQ(sink.entries()[2].text, std::string(4095, 'x'));
}

TEST(Log, ReturnsCutTextAndCallsCallbackWithoutHostLogging) {
    test::LogCapture sink;
    std::vector<std::string> received;
    Animator::set_log_callback([&](const char* text) { received.push_back(text); });
    EXPECT_EQ(Animator::log("value %d of %s", 4, "five"), "value 4 of five");
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], "value 4 of five");
    EXPECT_TRUE(sink.entries().empty());
    Animator::set_log_callback({});
    EXPECT_EQ(Animator::log("%s", LONG_TEXT.c_str()), std::string(4095, 'x'));
    EXPECT_EQ(received.size(), 1u);
}

// The filter set can only grow, so the unfiltered and the filtered behaviour are checked in order.
TEST(DebugFilter, EmptyFilterPassesAllThenOnlyAddedNames) {
    test::LogCapture sink;
    Animator::debug_filter("controller", Animator::LOG_INFO, "state %s", "Idle");
    ASSERT_EQ(sink.entries().size(), 1u);
    EXPECT_EQ(sink.entries()[0].tag, "ANIMATOR");
    EXPECT_EQ(sink.entries()[0].severity, 64);
    EXPECT_EQ(sink.entries()[0].text, "[controller] state Idle");

    Animator::add_debug_name_filter("route");
    Animator::add_debug_name_filter("route");
    Animator::debug_filter("controller", Animator::LOG_INFO, "dropped");
    Animator::debug_filter("route", Animator::LOG_WARNING, "segment %d", 2);
    Animator::debug_filter("route", Animator::LOG_INFO, "%s", LONG_TEXT.c_str());
    ASSERT_EQ(sink.entries().size(), 3u);
    EXPECT_EQ(sink.entries()[1].severity, 16);
    EXPECT_EQ(sink.entries()[1].text, "[route] segment 2");
    EXPECT_EQ(sink.entries()[2].text, "[route] " + std::string(4095, 'x'));
}

TEST(ModelTime, HostTimeUnlessCallbackIsSet) {
    wTime::SetModelTime(12.5);
    EXPECT_EQ(Animator::get_model_time(), 12.5);
    Animator::set_time_callback([] { return 3.25; });
    EXPECT_EQ(Animator::get_model_time(), 3.25);
    Animator::set_time_callback(std::function<double()>());
    EXPECT_EQ(Animator::get_model_time(), 12.5);
    wTime::SetModelTime(0.0);
}

}  // namespace
