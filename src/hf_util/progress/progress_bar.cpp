#include "hf_util/progress/progress_bar.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <mutex>
#include <vector>

#include <fmt/format.h>

#include "hf_util/progress/render.h"

namespace varkel::progress {

using Clock = std::chrono::steady_clock;

// Redraws closer together than this are skipped unless forced.
constexpr auto MIN_REDRAW = std::chrono::milliseconds(50);

struct BarState {
  std::string message;
  std::optional<uint64_t> length;
  uint64_t position = 0;
  Clock::time_point start = Clock::now();
  bool finished = false;
};

// The lines of one bar or one group, and what was last put on the screen.
class Canvas {
 public:
  explicit Canvas(std::shared_ptr<DrawTarget> target) : target_(std::move(target)) {}
  // Bars left unfinished (failed downloads) stay on the screen; later output
  // starts below them.
  ~Canvas() {
    if (lines_on_screen_ > 0) target_->write("\n");
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  std::shared_ptr<BarState> add() {
    std::lock_guard lock(mutex_);
    bars_.push_back(std::make_shared<BarState>());
    return bars_.back();
  }

  template <class F>
  auto with(BarState& bar, bool force, F&& change) {
    std::lock_guard lock(mutex_);
    change(bar);
    draw_locked(force);
  }

  template <class F>
  auto read(const BarState& bar, F&& get) const {
    std::lock_guard lock(mutex_);
    return get(bar);
  }

 private:
  void draw_locked(bool force) {
    if (!target_->is_terminal()) return;
    const auto now = Clock::now();
    if (!force && drawn_once_ && now - last_draw_ < MIN_REDRAW) return;
    // Lines longer than the terminal would wrap and break the cursor moves.
    size_t width = target_->width();
    size_t max_columns = width > 1 ? width - 1 : std::numeric_limits<size_t>::max();

    std::string out;
    if (lines_on_screen_ > 0) {
      out += "\r\x1b[2K";
      for (size_t i = 1; i < lines_on_screen_; ++i) out += "\x1b[1A\x1b[2K";
    }
    size_t lines = 0;
    for (const auto& bar : bars_) {
      if (bar->finished) continue;
      if (lines > 0) out += '\n';
      BarSnapshot snapshot{bar->message, bar->length, bar->position,
                           std::chrono::duration<double>(now - bar->start).count()};
      out += render_line(snapshot, max_columns);
      ++lines;
    }
    if (!out.empty()) target_->write(out);
    lines_on_screen_ = lines;
    last_draw_ = now;
    drawn_once_ = true;
  }

  std::shared_ptr<DrawTarget> target_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<BarState>> bars_;
  size_t lines_on_screen_ = 0;
  Clock::time_point last_draw_{};
  bool drawn_once_ = false;
};

DrawTarget::DrawTarget(int fd) : fd_(fd), terminal_(::isatty(fd) == 1) {}

std::shared_ptr<DrawTarget> DrawTarget::standard_error() {
  return std::shared_ptr<DrawTarget>(new DrawTarget(STDERR_FILENO));
}

std::shared_ptr<DrawTarget> DrawTarget::fd(int fd) { return std::shared_ptr<DrawTarget>(new DrawTarget(fd)); }

size_t DrawTarget::width() const {
  winsize size{};
  if (::ioctl(fd_, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

void DrawTarget::write(std::string_view text) const {
  while (!text.empty()) {
    ssize_t n = ::write(fd_, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a lost progress line is not worth failing a download for
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
}

ProgressBar::ProgressBar(std::shared_ptr<Canvas> canvas, std::shared_ptr<BarState> state)
    : canvas_(std::move(canvas)), state_(std::move(state)) {}

std::shared_ptr<ProgressBar> ProgressBar::create(std::shared_ptr<DrawTarget> target) {
  auto canvas = std::make_shared<Canvas>(std::move(target));
  auto state = canvas->add();
  return std::make_shared<ProgressBar>(std::move(canvas), std::move(state));
}

void ProgressBar::set_message(std::string message) {
  canvas_->with(*state_, false, [&](BarState& b) { b.message = std::move(message); });
}

void ProgressBar::set_length(uint64_t length) {
  canvas_->with(*state_, true, [&](BarState& b) { b.length = length; });
}

void ProgressBar::inc(uint64_t delta) {
  canvas_->with(*state_, false, [&](BarState& b) {
    b.position = b.position > UINT64_MAX - delta ? UINT64_MAX : b.position + delta;
  });
}

void ProgressBar::finish_and_clear() {
  canvas_->with(*state_, true, [](BarState& b) {
    if (b.length) b.position = *b.length;
    b.finished = true;
  });
}

uint64_t ProgressBar::position() const {
  return canvas_->read(*state_, [](const BarState& b) { return b.position; });
}

std::optional<uint64_t> ProgressBar::length() const {
  return canvas_->read(*state_, [](const BarState& b) { return b.length; });
}

bool ProgressBar::is_finished() const {
  return canvas_->read(*state_, [](const BarState& b) { return b.finished; });
}

MultiProgress::MultiProgress(std::shared_ptr<DrawTarget> target)
    : canvas_(std::make_shared<Canvas>(std::move(target))) {}

std::shared_ptr<ProgressBar> MultiProgress::add() {
  return std::make_shared<ProgressBar>(canvas_, canvas_->add());
}

}  // namespace varkel::progress
