#pragma once
// Terminal progress bars for downloads: one bar on its own, or a group that
// draws one line per bar in the order the bars were added. Nothing is drawn
// when the target is not a terminal. Every method may be called from any
// thread; drawing is serialised per group.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace varkel::progress {

// Where bars are drawn. The descriptor is borrowed, never closed.
class DrawTarget {
 public:
  static std::shared_ptr<DrawTarget> standard_error();
  static std::shared_ptr<DrawTarget> fd(int fd);

  bool is_terminal() const { return terminal_; }
  // Columns of the terminal, or 0 when unknown.
  size_t width() const;
  void write(std::string_view text) const;

 private:
  explicit DrawTarget(int fd);
  int fd_;
  bool terminal_;
};

class Canvas;
struct BarState;

class ProgressBar {
 public:
  // A bar of its own, without a length until one is set.
  static std::shared_ptr<ProgressBar> create(std::shared_ptr<DrawTarget> target = DrawTarget::standard_error());

  void set_message(std::string message);
  void set_length(uint64_t length);
  void inc(uint64_t delta);
  // Completes the bar and removes its line from the screen.
  void finish_and_clear();

  uint64_t position() const;
  std::optional<uint64_t> length() const;
  bool is_finished() const;

  ProgressBar(std::shared_ptr<Canvas> canvas, std::shared_ptr<BarState> state);

 private:
  std::shared_ptr<Canvas> canvas_;
  std::shared_ptr<BarState> state_;
};

class MultiProgress {
 public:
  explicit MultiProgress(std::shared_ptr<DrawTarget> target = DrawTarget::standard_error());
  // A new bar drawn below the bars added before it.
  std::shared_ptr<ProgressBar> add();

 private:
  std::shared_ptr<Canvas> canvas_;
};

}  // namespace varkel::progress
