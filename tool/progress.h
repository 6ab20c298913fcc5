// A line on standard error that shows how far long work has come: pages
// done of the total and the time taken, rewritten in place. Shown only when
// standard error is a terminal and the work has run for a while, and never
// with --quiet, so that scripts and logs see nothing of it.
#pragma once

#include "tool.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace kvtool {

class Progress {
public:
    // `what` names the work ("copy", "frames"); `unit` what is counted ("page", "frame").
    Progress(const ParsedArgs& args, std::string what, std::string unit, uint64_t total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    // `done` of the total are finished.
    void update(uint64_t done);
    // Takes the line away before other output to the terminal; the next
    // update draws it again.
    void wipe();

private:
    using Clock = std::chrono::steady_clock;
    bool enabled_;
    bool shown_ = false;
    std::string what_, unit_;
    uint64_t total_;
    Clock::time_point start_;
    Clock::time_point next_;
};

// The --quiet option of the commands that show progress, and its help line.
inline const OptionSpec kQuietOption{"--quiet", false};
#define KVLZW_QUIET_HELP "  --quiet          no progress line on standard error (shown only on a terminal)\n"

}  // namespace kvtool
