// Progress lines: the rendered text field by field, and what reaches a
// terminal (a pseudo-terminal here) or a pipe.

#include "hf_util/progress/progress_bar.h"
#include "hf_util/progress/render.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

namespace varkel::progress {
namespace {

std::string times(std::string_view piece, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += piece;
  return out;
}

TEST(ProgressRender, HumanUnits) {
  const std::pair<uint64_t, const char*> bytes[] = {{0, "0 B"}, {1023, "1023 B"}, {1024, "1.00 KiB"}, {1536, "1.50 KiB"},
                                                    {5767168, "5.50 MiB"}, {3ull << 30, "3.00 GiB"}, {UINT64_MAX, "16.00 EiB"}};
  for (const auto& [n, text] : bytes) EXPECT_EQ(human_bytes(n), text);
  const std::pair<double, const char*> seconds[] = {{0.0, "0s"}, {59.9, "59s"}, {61.0, "1m"}, {7200.0, "2h"}, {90000.0, "1d"}};
  for (const auto& [s, text] : seconds) EXPECT_EQ(human_elapsed(s), text);
  EXPECT_EQ(fraction_done(std::nullopt, 5), 0.0);
  EXPECT_EQ(fraction_done(0, 5), 1.0);
  EXPECT_EQ(fraction_done(4, 1), 0.25);
  EXPECT_EQ(fraction_done(4, 9), 1.0);
}

TEST(ProgressRender, LineFollowsTheTemplateFieldByField) {
  // 250 of 1000 bytes after 2 s: a quarter of 40 columns done, then the edge.
  BarSnapshot bar{"config.json", 1000, 250, 2.0};
  std::string expected = "config.json" + std::string(19, ' ') + " " +  //
                         "\x1b[36m" + times("━", 10) + "╸" + "\x1b[0m" +  //
                         "\x1b[34m" + times("─", 29) + "\x1b[0m" +        //
                         "  25%" + "      250 B" + "/" + "1000 B    " +  //
                         "      125 B/s" + "     2s";
  EXPECT_EQ(render_line(bar), expected);

  // Complete: no edge, nothing remaining.
  BarSnapshot full{"m", 2048, 2048, 1.0};
  EXPECT_EQ(render_line(full), "m" + std::string(29, ' ') + " \x1b[36m" + times("━", 40) + "\x1b[0m" + " 100%" +
                                   "   2.00 KiB/2.00 KiB  " + "   2.00 KiB/s" + "     1s");
  // Nothing yet: the whole bar is the remaining part.
  BarSnapshot start{"m", 10, 0, 0.0};
  EXPECT_EQ(render_line(start), "m" + std::string(29, ' ') + " \x1b[34m" + times("─", 40) + "\x1b[0m" + "   0%" +
                                    "        0 B/10 B      " + "        0 B/s" + "     0s");
  // Percent truncates the single-precision share: 29 of 100 is 29%, 999 of 1000 is 99%.
  EXPECT_NE(render_line({"m", 100, 29, 1.0}).find("  29% "), std::string::npos);
  EXPECT_NE(render_line({"m", 1000, 999, 1.0}).find("  99% "), std::string::npos);
  // A length of 0 (unknown size) counts as done; more than the length is clamped.
  EXPECT_NE(render_line({"m", 0, 77, 1.0}).find(" 100%"), std::string::npos);
  EXPECT_NE(render_line({"m", 10, 30, 1.0}).find(times("━", 40)), std::string::npos);
  // A long message is not cut and pushes the fields along.
  std::string long_name(45, 'n');
  EXPECT_EQ(render_line({long_name, 10, 0, 0.0}).rfind(long_name + " \x1b[34m", 0), 0u);
}

TEST(ProgressRender, UnknownLengthAndCutting) {
  // No length yet: the template still holds, with an empty bar, 0% and a total of 0 B.
  BarSnapshot unknown{"weights.bin", std::nullopt, 3u << 20, 1.5};
  EXPECT_EQ(render_line(unknown), "weights.bin" + std::string(19, ' ') + " \x1b[34m" + times("─", 40) + "\x1b[0m" +
                                      "   0%" + "   3.00 MiB/0 B       " + "   2.00 MiB/s" + "     1s");

  // Cut to 35 columns: the message, a space and four bar characters; colours closed.
  BarSnapshot bar{"config.json", 1000, 500, 1.0};
  std::string cut = render_line(bar, 35);
  EXPECT_EQ(cut, "config.json" + std::string(19, ' ') + " \x1b[36m" + times("━", 4) + "\x1b[0m");
  EXPECT_EQ(render_line(bar, 0), "");
  EXPECT_EQ(render_line(bar, 1000), render_line(bar));
}

// A pseudo-terminal whose far end the test reads.
struct Pty {
  int master = -1, slave = -1;
  Pty() {
    winsize size{};
    size.ws_col = 200;
    size.ws_row = 50;
    if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) throw std::runtime_error("openpty");
    termios t{};
    ::tcgetattr(slave, &t);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);  // bytes as written
    ::tcsetattr(slave, TCSANOW, &t);
  }
  ~Pty() {
    ::close(master);
    ::close(slave);
  }
  std::string drain() const {
    std::string out;
    char buffer[4096];
    while (true) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) break;
      ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      out.append(buffer, static_cast<size_t>(n));
    }
    return out;
  }
};

TEST(ProgressTerminal, BarsDrawOnATerminalOnly) {
  Pty pty;
  auto target = DrawTarget::fd(pty.slave);
  ASSERT_TRUE(target->is_terminal());
  EXPECT_EQ(target->width(), 200u);

  auto bar = ProgressBar::create(target);
  bar->set_message("model.bin");
  bar->set_length(4096);
  bar->inc(1024);
  bar->finish_and_clear();
  std::string out = pty.drain();
  EXPECT_NE(out.find("model.bin"), std::string::npos) << out;
  EXPECT_NE(out.find("4.00 KiB"), std::string::npos) << out;
  EXPECT_NE(out.find("\x1b[34m"), std::string::npos);
  // The last thing written wipes the line.
  EXPECT_EQ(out.substr(out.size() - 5), "\r\x1b[2K");
  EXPECT_EQ(bar->position(), 4096u);

  // A group: one line per bar in the order added, the finished ones dropped.
  MultiProgress group(target);
  auto first = group.add();
  auto second = group.add();
  first->set_message("first");
  second->set_message("second");
  second->set_length(10);
  out = pty.drain();
  size_t a = out.rfind("first"), b = out.rfind("second");
  ASSERT_NE(a, std::string::npos);
  ASSERT_NE(b, std::string::npos);
  EXPECT_LT(a, b);
  EXPECT_NE(out.find('\n', a), std::string::npos);
  first->finish_and_clear();
  out = pty.drain();
  // Two lines go (the cursor climbs one), one comes back.
  EXPECT_EQ(out.rfind("\r\x1b[2K\x1b[1A\x1b[2K", 0), 0u) << out;
  EXPECT_EQ(out.find("first"), std::string::npos);
  EXPECT_NE(out.find("second"), std::string::npos);
  second->finish_and_clear();
  EXPECT_EQ(pty.drain(), "\r\x1b[2K");

  // Lines wider than the terminal are cut so they never wrap.
  winsize narrow{};
  narrow.ws_col = 40;
  narrow.ws_row = 10;
  ::ioctl(pty.slave, TIOCSWINSZ, &narrow);
  auto cut = ProgressBar::create(DrawTarget::fd(pty.slave));
  cut->set_message("narrow");
  cut->set_length(100);
  out = pty.drain();
  EXPECT_EQ(out.find("100 B"), std::string::npos) << out;
  cut->finish_and_clear();
  pty.drain();

  // A bar dropped unfinished stays, and the cursor moves below it.
  {
    auto left = ProgressBar::create(DrawTarget::fd(pty.slave));
    left->set_message("failed");
    pty.drain();
  }
  EXPECT_EQ(pty.drain(), "\n");
}

TEST(ProgressTerminal, NothingIsWrittenToAPipe) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
  auto target = DrawTarget::fd(fds[1]);
  EXPECT_FALSE(target->is_terminal());
  MultiProgress group(target);
  auto bar = group.add();
  bar->set_message("quiet");
  bar->set_length(10);
  bar->inc(5);
  EXPECT_EQ(bar->position(), 5u);
  bar->finish_and_clear();
  EXPECT_TRUE(bar->is_finished());
  char c;
  EXPECT_EQ(::read(fds[0], &c, 1), -1);
  EXPECT_EQ(errno, EAGAIN);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(ProgressTerminal, BarsOfOneGroupAdvanceFromManyThreads) {
  Pty pty;
  MultiProgress group(DrawTarget::fd(pty.slave));
  std::vector<std::shared_ptr<ProgressBar>> bars;
  for (int i = 0; i < 4; ++i) {
    bars.push_back(group.add());
    bars.back()->set_length(1000);
  }
  {
    std::vector<std::jthread> threads;
    for (auto& bar : bars)
      threads.emplace_back([bar] {
        for (int k = 0; k < 1000; ++k) bar->inc(1);
      });
  }
  EXPECT_NE(pty.drain().find("\x1b[34m"), std::string::npos);
  for (auto& bar : bars) EXPECT_EQ(bar->position(), 1000u);
  for (auto& bar : bars) bar->finish_and_clear();
  pty.drain();
}

}  // namespace
}  // namespace varkel::progress
