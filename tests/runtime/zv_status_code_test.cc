#include "runtime/zv_status_code.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

namespace {

TEST(StatusCode, EachPatternSetsExactlyItsPositions) {
  struct Row {
    int code;
    std::set<int> positions;
  };
  std::set<int> ping_request, ping_response;
  for (int i = 16; i <= 23; i++) ping_request.insert(i);
  for (int i = 24; i <= 31; i++) ping_response.insert(i);
  const std::vector<Row> rows = {
      {ZV_STATUS_TEST, {}},
      {ZV_STATUS_STOP_WAN, {4}},
      {ZV_STATUS_STOP_OSS, {12}},
      {ZV_STATUS_RESTART, {23}},
      {ZV_STATUS_PING_REQUEST, ping_request},
      {ZV_STATUS_PING_RESPONSE, ping_response},
  };
  ASSERT_EQ(static_cast<int>(rows.size()), ZV_STATUS_CODES);
  for (size_t i = 0; i < rows.size(); i++) {
    EXPECT_EQ(rows[i].code, static_cast<int>(i));
    const char *p = zv_status_code[rows[i].code];
    SCOPED_TRACE(p);
    ASSERT_EQ(strlen(p), 32u);
    for (int pos = 0; pos < 32; pos++)
      EXPECT_EQ(p[pos], rows[i].positions.count(pos) ? '1' : '0') << pos;
  }
}

}  // namespace
