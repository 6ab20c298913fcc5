// Loading the LZW component: dlopen, identity, init (service lookup),
// attach (named services) and done.
#pragma once

#include "kvlzw/abi.h"

#include <cstdint>
#include <memory>
#include <string>

namespace kvhost {

struct ComponentIdentity {
    std::string name;
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t update = 0;
    std::string build_date;
    std::string description;
};

class Component {
public:
    // Opens the shared library and resolves its four entry points; runs no
    // component code. Null (with *error) when that fails.
    static std::unique_ptr<Component> open(const std::string& path, std::string* error);
    // open() followed by start(); null (with *error) when either fails.
    static std::unique_ptr<Component> load(const std::string& path, std::string* error);
    ~Component();

    Component(const Component&) = delete;
    Component& operator=(const Component&) = delete;

    // CPb_LZW_init with the host's lookup, then CPb_LZW_attach with the
    // host's offer function. Returns the first non-zero status.
    HostStatus start();
    // CPb_LZW_done, once per start.
    void stop();
    bool started() const { return started_; }

    ComponentIdentity identity() const;
    const std::string& path() const { return path_; }

    // The raw entry points, for callers that drive them themselves.
    CPb_LZW_init_fn init = nullptr;
    CPb_LZW_attach_fn attach = nullptr;
    CPb_LZW_info_get_fn info_get = nullptr;
    CPb_LZW_done_fn done = nullptr;

private:
    Component() = default;
    void* handle_ = nullptr;
    std::string path_;
    bool started_ = false;
};

// The host's lookup function: "CORE.<service>" -> the service's address.
HostStatus lookup_service(const char* name, void* slot, const char* component);
// The host's offer function: keeps the named service in the registry.
HostStatus offer_service(void* context, const char* name, void* function, void* reserved);

// Fault injection for tests: the lookup of `service` (without "CORE.")
// answers `status`; the offer of `service` is refused with `status`.
void fail_lookup_of(const std::string& service, HostStatus status);
void refuse_offer_of(const std::string& service, HostStatus status);
void clear_component_faults();

// Where the tool looks for the component when no path is given: beside the
// running executable, then the installed library directory.
std::string default_module_path();

// The component from default_module_path(), loaded and started once for the
// whole process; a program that cannot go on without it (a benchmark, a
// fuzz target) stops with a message naming `who` when it cannot be loaded.
Component& process_component(const char* who);

}  // namespace kvhost
