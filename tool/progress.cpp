#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace kvtool {
namespace {

// Work shorter than this shows nothing; a shown line changes at most this often.
constexpr std::chrono::milliseconds kQuietFor{500};
constexpr std::chrono::milliseconds kEvery{100};

}  // namespace

Progress::Progress(const ParsedArgs& args, std::string what, std::string unit, uint64_t total)
    : enabled_(!args.has("--quiet") && isatty(STDERR_FILENO) == 1),
      what_(std::move(what)),
      unit_(std::move(unit)),
      total_(total),
      start_(Clock::now()),
      next_(start_ + kQuietFor) {}

Progress::~Progress() { wipe(); }

void Progress::wipe() {
    if (!shown_) return;
    std::fputs("\r\033[K", stderr);
    shown_ = false;
    next_ = Clock::now();
}

void Progress::update(uint64_t done) {
    if (!enabled_) return;
    const Clock::time_point now = Clock::now();
    if (now < next_ || now < start_ + kQuietFor) return;
    next_ = now + kEvery;
    shown_ = true;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    std::fprintf(stderr, "\rkvlzw %s: %s %llu of %llu, %.1f s\033[K", what_.c_str(), unit_.c_str(),
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_), seconds);
    std::fflush(stderr);
}

}  // namespace kvtool
