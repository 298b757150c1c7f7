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

using namespace Animator;

const std::string LONG_TEXT(10000, 'x');
const std::string CUT(4095, 'x');  // what is left of LONG_TEXT in the 4096-byte buffer

// The filter set can only grow, so the unfiltered and the filtered debug output are checked in order.
TEST(Log, HostMessagesAreFormattedOnceCutAndFilteredAndLogCallsOnlyTheCallback) {
    test::LogCapture sink;
    std::vector<std::string> received;
    set_log_callback([&](const char* text) { received.push_back(text); });
    EXPECT_EQ(Animator::log("value %d of %s", 4, "five"), "value 4 of five");
    set_log_callback({});
    EXPECT_EQ(Animator::log("%s", LONG_TEXT.c_str()), CUT);
    EXPECT_EQ(received, std::vector<std::string>{"value 4 of five"});

    log_message("LOADER", LOG_ERROR, "error loading %s (%d)", "walk.fbx", 3);
    log_message(LOG_TAG, LOG_INFO, "%s", "100% done %d %s");  // not reinterpreted as a format
    log_message(LOG_TAG, LOG_WARNING, "%s", LONG_TEXT.c_str());
    debug_filter("controller", LOG_INFO, "state %s", "Idle");  // an empty filter set passes every name
    add_debug_name_filter("route");
    debug_filter("controller", LOG_INFO, "dropped");
    debug_filter("route", LOG_WARNING, "segment %d", 2);
    debug_filter("route", LOG_INFO, "%s", LONG_TEXT.c_str());
    std::vector<std::string> seen;
    for (const auto& e : sink.entries()) seen.push_back(e.tag + " " + std::to_string(e.severity) + " " + e.text);
    const std::vector<std::string> expected = {
        "LOADER 8 error loading walk.fbx (3)", "ANIMATOR 64 100% done %d %s",  "ANIMATOR 16 " + CUT,
        "ANIMATOR 64 [controller] state Idle", "ANIMATOR 16 [route] segment 2", "ANIMATOR 64 [route] " + CUT,
    };
    EXPECT_EQ(seen, expected);  // nothing from log()
}

TEST(ModelTime, HostTimeUnlessCallbackIsSet) {
    wTime::SetModelTime(12.5);
    EXPECT_EQ(get_model_time(), 12.5);
    set_time_callback([] { return 3.25; });
    EXPECT_EQ(get_model_time(), 3.25);
    set_time_callback({});
    EXPECT_EQ(get_model_time(), 12.5);
    wTime::SetModelTime(0.0);
}

}  // namespace
