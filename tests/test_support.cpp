#include "test_support.h"

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>

namespace kvtest {

kvhost::Component& component() {
    static std::unique_ptr<kvhost::Component> loaded = [] {
        std::string error;
        auto c = kvhost::Component::load(KVLZW_MODULE_PATH, &error);
        if (c == nullptr) ADD_FAILURE() << error;
        return c;
    }();
    return *loaded;
}

void restart_component() {
    kvhost::clear_component_faults();
    kvhost::clear_registry_faults();
    kvhost::memory::clear_faults();
    component().stop();
    ASSERT_EQ(component().start(), 0);
    kvhost::clear_errors();
}

kvhost::Filter gif_filter() {
    component();
    return kvhost::Filter(kvhost::find_filter(KV_FORMAT_GIF));
}

kvhost::Filter raw_filter() {
    component();
    return kvhost::Filter(kvhost::find_filter(KV_FORMAT_RAW_LZW));
}

std::vector<int32_t> error_codes() {
    std::vector<int32_t> codes;
    for (const auto& record : kvhost::error_records()) codes.push_back(record.code);
    return codes;
}

std::string corpus_path(const std::string& relative) { return std::string(KVLZW_CORPUS_DIR) + "/" + relative; }

ToolRun run_tool(const std::string& arguments) {
    ToolRun result;
    const std::string command = std::string(KVLZW_TOOL_PATH) + " " + arguments + " 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace kvtest

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
