// Binding of the service names to their implementations, through wrappers
// that log calls in recording mode and stand in for services not built yet.
#include "kvhost/errors.h"
#include "kvhost/recording.h"
#include "service_impl.h"
#include "kvhost/services.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

namespace kvhost {
namespace {

enum ServiceIndex : int {
#define KV_INDEX(name, ret, params) kIndex_##name,
    KV_HOST_SERVICES(KV_INDEX)
#undef KV_INDEX
    kServiceCount
};

const char* const kServiceNames[kServiceCount] = {
#define KV_NAME(name, ret, params) #name,
    KV_HOST_SERVICES(KV_NAME)
#undef KV_NAME
};

void* const kImplementations[kServiceCount] = {
#define KV_IMPL(name, ret, params) reinterpret_cast<void*>(&kvhost_##name),
    KV_HOST_SERVICES(KV_IMPL)
#undef KV_IMPL
};

std::atomic<bool> g_recording{false};
std::mutex g_log_mutex;
std::vector<recording::Call> g_log;

std::string format_arg(const char* text) {
    if (text == nullptr) return "null";
    return std::string("\"") + text + "\"";
}
template <typename T>
std::string format_arg(T value) {
    if constexpr (std::is_pointer_v<T>) {
        if (value == nullptr) return "null";
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(value));
        return buffer;
    } else if constexpr (std::is_signed_v<T>) {
        return std::to_string(static_cast<long long>(value));
    } else {
        return std::to_string(static_cast<unsigned long long>(value));
    }
}

template <typename... A>
void log_call(int index, A... args) {
    recording::Call call;
    call.service = kServiceNames[index];
    (call.args.push_back(format_arg(args)), ...);
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log.push_back(std::move(call));
}

template <typename R>
R not_implemented(int index) {
    record_host_error(KVHOST_MODULE("services"), __LINE__, host_error::kNotImplemented,
                      std::string(kServiceNames[index]) + " is not implemented by this host");
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else if constexpr (std::is_same_v<R, HostStatus>) {
        return host_error::kNotImplemented;
    } else {
        return R{};
    }
}

struct CallFault {
    std::mutex mutex;
    std::vector<std::string> services;
    uint64_t nth = 0;
    uint64_t seen = 0;
};

CallFault& call_fault() {
    static CallFault f;
    return f;
}
std::atomic<bool> g_call_fault_armed{false};

// Counts the call when its service is watched; true when it is the one to fail.
bool injected_failure(int index) {
    if (!g_call_fault_armed.load(std::memory_order_relaxed)) return false;
    CallFault& f = call_fault();
    std::lock_guard<std::mutex> lock(f.mutex);
    for (const std::string& service : f.services) {
        if (service == kServiceNames[index]) return ++f.seen == f.nth;
    }
    return false;
}

template <typename R>
R failed_call(int index) {
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else if constexpr (std::is_same_v<R, HostStatus>) {
        if (std::strcmp(kServiceNames[index], "iKV_image_is_valid") == 0) return 0;
        return record_host_error(KVHOST_MODULE("services"), __LINE__, kInjectedFault,
                                 std::string(kServiceNames[index]) + " failed (injected)");
    } else {
        return R{};
    }
}

template <int Index, typename F>
struct Wrapper;
template <int Index, typename R, typename... A>
struct Wrapper<Index, R (*)(A...)> {
    static R call(A... args) {
        if (g_recording.load(std::memory_order_relaxed)) log_call(Index, args...);
        auto implementation = reinterpret_cast<R (*)(A...)>(kImplementations[Index]);
        if (implementation == nullptr) return not_implemented<R>(Index);
        if (injected_failure(Index)) return failed_call<R>(Index);
        return implementation(args...);
    }
};

void* const kWrappers[kServiceCount] = {
#define KV_WRAPPER(name, ret, params) reinterpret_cast<void*>(&Wrapper<kIndex_##name, PFN_##name>::call),
    KV_HOST_SERVICES(KV_WRAPPER)
#undef KV_WRAPPER
};

}  // namespace

void* service_address(const char* name) {
    for (int i = 0; i < kServiceCount; ++i) {
        if (std::strcmp(kServiceNames[i], name) == 0) return kWrappers[i];
    }
    return nullptr;
}

bool service_implemented(const char* name) {
    for (int i = 0; i < kServiceCount; ++i) {
        if (std::strcmp(kServiceNames[i], name) == 0) return kImplementations[i] != nullptr;
    }
    return false;
}

const HostServiceTable& service_table() {
    static const HostServiceTable table = [] {
        HostServiceTable t{};
#define KV_FILL(name, ret, params) t.name = reinterpret_cast<PFN_##name>(kWrappers[kIndex_##name]);
        KV_HOST_SERVICES(KV_FILL)
#undef KV_FILL
        return t;
    }();
    return table;
}

void fail_nth_call_of(const std::vector<std::string>& services, uint64_t n) {
    CallFault& f = call_fault();
    std::lock_guard<std::mutex> lock(f.mutex);
    f.services = services;
    f.nth = n;
    f.seen = 0;
    g_call_fault_armed = true;
}

void clear_call_faults() {
    g_call_fault_armed = false;
    CallFault& f = call_fault();
    std::lock_guard<std::mutex> lock(f.mutex);
    f.services.clear();
    f.nth = 0;
}

uint64_t matching_calls() {
    CallFault& f = call_fault();
    std::lock_guard<std::mutex> lock(f.mutex);
    return f.seen;
}

namespace recording {

void start() {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log.clear();
    g_recording = true;
}

void stop() { g_recording = false; }

std::vector<Call> calls() {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    return g_log;
}

std::vector<Call> calls_of(const std::vector<std::string>& services) {
    std::vector<Call> selected;
    for (Call& call : calls()) {
        for (const std::string& service : services) {
            if (call.service == service) {
                selected.push_back(call);
                break;
            }
        }
    }
    return selected;
}

std::vector<std::string> service_sequence() {
    std::vector<std::string> names;
    for (const Call& call : calls()) names.push_back(call.service);
    return names;
}

}  // namespace recording
}  // namespace kvhost
