// Progress lines: one exact rendering, and what reaches a pseudo-terminal or a pipe.

#include "hf_util/progress/progress_bar.h"
#include "hf_util/progress/render.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

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

TEST(ProgressTerminal, BarsDrawOnATerminalAndNothingReachesAPipe) {
  int master = -1, slave = -1;
  winsize size{50, 200, 0, 0};
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
  termios t{};
  ::tcgetattr(slave, &t);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);  // bytes as written
  ::tcsetattr(slave, TCSANOW, &t);
  auto drain = [&] {
    std::string out;
    char buffer[4096];
    for (pollfd p{master, POLLIN, 0}; ::poll(&p, 1, 50) > 0;) {
      ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      out.append(buffer, static_cast<size_t>(n));
    }
    return out;
  };
  auto bar = ProgressBar::create(DrawTarget::fd(slave));
  bar->set_message("model.bin");
  bar->set_length(4096);
  bar->inc(1024);
  bar->finish_and_clear();
  std::string out = drain();
  EXPECT_NE(out.find("model.bin"), std::string::npos) << out;
  EXPECT_NE(out.find("4.00 KiB"), std::string::npos) << out;
  EXPECT_EQ(out.substr(out.size() - 5), "\r\x1b[2K");  // the last thing written wipes the line
  ::close(master);
  ::close(slave);

  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
  auto target = DrawTarget::fd(fds[1]);
  EXPECT_FALSE(target->is_terminal());
  MultiProgress group(target);
  auto quiet = group.add();
  quiet->set_message("quiet");
  quiet->set_length(10);
  quiet->inc(5);
  EXPECT_EQ(quiet->position(), 5u);
  quiet->finish_and_clear();
  char c;
  EXPECT_EQ(::read(fds[0], &c, 1), -1);
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace varkel::progress
