#include "runtime/zv_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "runtime/zv_globals.h"

TEST(ZvLogPrefix, HasTimeProgramPidAndSlot) {
  snprintf(program, sizeof program, "%s", "clientd");
  mypid = 7;
  char line[ZV_LOG_LINE_SIZE];
  int n = zv_logme2(line);
  EXPECT_EQ(n, static_cast<int>(strlen(line)));
  EXPECT_TRUE(std::regex_match(line, std::regex(R"(\d{8} \d{6}\.\d{3}:clientd\(00007:00\):)")))
      << line;
}
