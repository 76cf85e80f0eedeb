// What a serving instance reports (-STATUS) and records of its last request,
// written and read back the same on every platform.
#include "platform/requests.h"

#include <gtest/gtest.h>

namespace ostrim {
namespace {

using platform::ServiceReport;

TEST(ServiceReport, ReadsBackWhatItWrites) {
  ServiceReport r;
  r.state = "paused";
  r.pid = 4321;
  r.since = "2026-12-08T23:17:36Z";
  r.directory = "C:\\Mis Bases";
  r.requests = 7;
  r.last_request = "pause";
  r.last_result = "failed: a\tTAB and\na line end";  // cannot break the lines
  r.last_tally = {5, 2, 1};
  r.last_seconds = 12.3456;
  r.engines = {{10, "ventas, 4GL: arranca ventas -z"}, {11, ""}};
  const ServiceReport back = ServiceReport::Parse(r.Text());
  EXPECT_EQ(back.state, "paused");
  EXPECT_EQ(back.pid, 4321);
  EXPECT_EQ(back.since, r.since);
  EXPECT_EQ(back.directory, r.directory);
  EXPECT_EQ(back.requests, 7u);
  EXPECT_EQ(back.last_request, "pause");
  EXPECT_EQ(back.last_result, "failed: a TAB and a line end");
  EXPECT_EQ(back.last_tally.lines, 5);
  EXPECT_EQ(back.last_tally.failed, 2);
  EXPECT_EQ(back.last_tally.ended_badly, 1);
  EXPECT_DOUBLE_EQ(back.last_seconds, 12.346);
  ASSERT_EQ(back.engines.size(), 2u);
  EXPECT_EQ(back.engines[0],
            (std::pair<std::int64_t, std::string>{10, "ventas, 4GL: arranca ventas -z"}));
  EXPECT_EQ(back.engines[1].first, 11);
  // With Windows line ends, and lines it does not know, it reads the same.
  EXPECT_EQ(ServiceReport::Parse("state\trunning\r\nnew_key\tx\npid\t9\n").pid, 9);
}

TEST(OutcomeLine, SaysWhatRanAndTheStatesAroundIt) {
  ServiceReport after;
  after.state = "paused";
  after.last_request = "pause";
  after.last_result = "done";
  after.last_tally = {3, 1, 0};
  after.last_seconds = 4.21;
  EXPECT_EQ(platform::OutcomeLine(after, "running"),
            "pause: done in 4.210 s: 3 command lines, 2 launched, 1 launch failed "
            "(was running, now paused)");
  after.last_tally = {1, 0, 1};
  EXPECT_EQ(platform::OutcomeLine(after, "paused"),
            "pause: done in 4.210 s: 1 command line, launched, 1 ended with an error "
            "(was paused, now paused)");
}

}  // namespace
}  // namespace ostrim
