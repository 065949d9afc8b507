// Progress lines: one exact rendering..

#include "hf_util/progress/render.h"

#include <gtest/gtest.h>

namespace varkel::progress {
namespace {

std::string times(std::string_view piece, size_t n) {
  std::string out;
  while (n--) out += piece;
  return out;
}

TEST(ProgressRender, LineFollowsTheTemplateFieldByField) {
  // 250 of 1000 bytes after 2 s: a quarter of 40 columns done, then the edge.
  EXPECT_EQ(render_line({"config.json", 1000, 250, 2.0}),
            "config.json" + std::string(19, ' ') + " \x1b[36m" + times("━", 10) + "╸\x1b[0m\x1b[34m" + times("─", 29) +
                "\x1b[0m  25%      250 B/1000 B          125 B/s     2s");
  EXPECT_EQ(render_line({"config.json", 1000, 500, 1.0}, 35),
            "config.json" + std::string(19, ' ') + " \x1b[36m" + times("━", 4) + "\x1b[0m");
  EXPECT_EQ(human_bytes(UINT64_MAX), "16.00 EiB");
}

}  // namespace
}  // namespace varkel::progress
