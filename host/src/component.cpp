// Loading the component with dlopen and driving its entry points.
#include "kvhost/component.h"

#include "kvhost/errors.h"
#include "kvhost/services.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace kvhost {

void add_named_service(const std::string& name, void* function);
void clear_named_services();

namespace {

std::mutex g_fault_mutex;
std::map<std::string, HostStatus> g_failing_lookups;
std::map<std::string, HostStatus> g_refused_offers;

constexpr const char* kPrefix = "CORE.";

}  // namespace

HostStatus lookup_service(const char* name, void* slot, const char* component) {
    if (name == nullptr || slot == nullptr) return host_error::kBadArgument;
    std::string service = name;
    if (service.rfind(kPrefix, 0) == 0) service.erase(0, std::strlen(kPrefix));
    {
        std::lock_guard<std::mutex> lock(g_fault_mutex);
        auto failing = g_failing_lookups.find(service);
        if (failing != g_failing_lookups.end()) return failing->second;
    }
    void* address = service_address(service.c_str());
    if (address == nullptr) {
        return record_host_error("host/component", __LINE__, host_error::kUnknownService,
                                 std::string(component ? component : "?") + " asked for unknown service " + name);
    }
    std::memcpy(slot, &address, sizeof address);
    return 0;
}

HostStatus offer_service(void*, const char* name, void* function, void*) {
    if (name == nullptr) return host_error::kBadArgument;
    {
        std::lock_guard<std::mutex> lock(g_fault_mutex);
        auto refused = g_refused_offers.find(name);
        if (refused != g_refused_offers.end()) return refused->second;
    }
    add_named_service(name, function);
    return 0;
}

void fail_lookup_of(const std::string& service, HostStatus status) {
    std::lock_guard<std::mutex> lock(g_fault_mutex);
    g_failing_lookups[service] = status;
}

void refuse_offer_of(const std::string& service, HostStatus status) {
    std::lock_guard<std::mutex> lock(g_fault_mutex);
    g_refused_offers[service] = status;
}

void clear_component_faults() {
    std::lock_guard<std::mutex> lock(g_fault_mutex);
    g_failing_lookups.clear();
    g_refused_offers.clear();
}

std::unique_ptr<Component> Component::open(const std::string& path, std::string* error) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        if (error != nullptr) *error = std::string("cannot load the component: ") + dlerror();
        return nullptr;
    }
    std::unique_ptr<Component> component(new Component);
    component->handle_ = handle;
    component->path_ = path;
    component->init = reinterpret_cast<CPb_LZW_init_fn>(dlsym(handle, "CPb_LZW_init"));
    component->attach = reinterpret_cast<CPb_LZW_attach_fn>(dlsym(handle, "CPb_LZW_attach"));
    component->info_get = reinterpret_cast<CPb_LZW_info_get_fn>(dlsym(handle, "CPb_LZW_info_get"));
    component->done = reinterpret_cast<CPb_LZW_done_fn>(dlsym(handle, "CPb_LZW_done"));
    if (!component->init || !component->attach || !component->info_get || !component->done) {
        if (error != nullptr) *error = path + " is not an LZW component: an entry point is missing";
        return nullptr;
    }
    return component;
}

std::unique_ptr<Component> Component::load(const std::string& path, std::string* error) {
    std::unique_ptr<Component> component = open(path, error);
    if (component == nullptr) return nullptr;
    HostStatus status = component->start();
    if (status != 0) {
        if (error != nullptr) *error = "the component failed to start (status " + std::to_string(status) + ")";
        return nullptr;
    }
    return component;
}

Component::~Component() {
    stop();
    if (handle_ != nullptr) dlclose(handle_);
}

HostStatus Component::start() {
    if (started_) return 0;
    HostStatus status = init(&lookup_service);
    started_ = true;  // done() is safe after a partial init, and undoes it
    if (status != 0) return status;
    return attach(nullptr, &offer_service);
}

void Component::stop() {
    if (!started_) return;
    done();
    clear_named_services();
    started_ = false;
}

ComponentIdentity Component::identity() const {
    ComponentIdentity id;
    const char* name = nullptr;
    const char* date = nullptr;
    const char* description = nullptr;
    info_get(&name, &id.major, &id.minor, &id.update, &date, &description);
    id.name = name ? name : "";
    id.build_date = date ? date : "";
    id.description = description ? description : "";
    return id;
}

std::string default_module_path() {
    constexpr const char* kLibrary = "libkvLZW19d.so";
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        exe[n] = '\0';
        std::string dir(exe);
        dir.erase(dir.find_last_of('/') + 1);
        std::string beside = dir + kLibrary;
        if (access(beside.c_str(), R_OK) == 0) return beside;
    }
    // Beside this host library: where an installed tree keeps both, wherever
    // it was installed.
    Dl_info self;
    if (dladdr(reinterpret_cast<void*>(&default_module_path), &self) != 0 && self.dli_fname != nullptr) {
        std::string dir(self.dli_fname);
        dir.erase(dir.find_last_of('/') + 1);
        std::string beside = dir + kLibrary;
        if (access(beside.c_str(), R_OK) == 0) return beside;
    }
#ifdef KVHOST_INSTALL_LIBDIR
    return std::string(KVHOST_INSTALL_LIBDIR) + "/" + kLibrary;
#else
    return kLibrary;
#endif
}

Component& process_component(const char* who) {
    static std::unique_ptr<Component> loaded = [who] {
        std::string error;
        auto c = Component::load(default_module_path(), &error);
        if (c == nullptr) {
            std::fprintf(stderr, "%s: %s\n", who, error.c_str());
            std::abort();
        }
        return c;
    }();
    return *loaded;
}

}  // namespace kvhost
