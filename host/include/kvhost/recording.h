// Recording mode: every host service call made by the component is logged
// with its arguments, so tests can check the order of calls.
#pragma once

#include <string>
#include <vector>

namespace kvhost::recording {

struct Call {
    std::string service;
    std::vector<std::string> args;  // integers in decimal, strings quoted, pointers as 0x...
};

void start();  // clears the log and starts logging
void stop();
std::vector<Call> calls();
// Only the calls of these services, in order.
std::vector<Call> calls_of(const std::vector<std::string>& services);
std::vector<std::string> service_sequence();

}  // namespace kvhost::recording
