// Host streams over memory buffers and files, with the per-load state that
// the component's loads deliver into (image, attributes, and more).
#pragma once

#include "kvhost/load_sink.h"
#include "kvhost/save_source.h"
#include "kvlzw/abi.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kvhost {

// Where the bytes live. Positions are absolute byte offsets.
class StreamBackend {
public:
    virtual ~StreamBackend() = default;
    virtual uint64_t read(int64_t position, void* buffer, uint64_t count) = 0;
    virtual uint64_t write(int64_t position, const void* buffer, uint64_t count) = 0;
    virtual int64_t size() const = 0;
    virtual bool flush() { return true; }
};

// Faults a test can inject. Limits count bytes from the moment they are set.
struct StreamFaults {
    int64_t read_budget = -1;   // bytes that may still be read; -1 = no limit
    int64_t write_budget = -1;  // bytes that may still be written; -1 = no limit
    bool fail_seeks = false;
    int64_t fail_raster_row = -1;     // IO_raster_set of this row fails
    int64_t fail_converted_row = -1;  // the nth converted row asked for (0 = the first) is refused; -1 = none
    int64_t null_converted_row = -1;  // this converted row is handed over as success without its bytes
    uint8_t stray_index_bits = 0;     // ORed into every index of converted 4-bit rows (a careless converter)
};

// Where reading began with a seek from the stream's start, and where the
// stream stood when the next such seek came or the recording ended.
struct ReadSpan {
    int64_t start = 0;
    int64_t stop = 0;
};

enum class FileMode { kRead, kWrite, kReadWrite };

// A memory stream over a copy of `bytes` (reads, writes and growth allowed).
std::unique_ptr<HostStream> memory_stream(std::vector<uint8_t> bytes = {});
// A read-only memory stream over caller-owned bytes that outlive it.
std::unique_ptr<HostStream> memory_view_stream(const uint8_t* data, size_t size);
// A stream over a file; null (and *error set) when it cannot be opened.
std::unique_ptr<HostStream> file_stream(const std::string& path, FileMode mode, std::string* error);
// A stream that carries only a file name: IO_open opens it, IO_close closes it.
std::unique_ptr<HostStream> named_stream(const std::string& path);

// The bytes of a memory stream (empty for other streams).
std::vector<uint8_t> memory_stream_bytes(const HostStream* stream);

// Makes `bytes` the content a memory stream starts from, without a copy
// (nothing happens for other streams).
void memory_stream_adopt(HostStream* stream, std::vector<uint8_t>&& bytes) noexcept;

// Moves the bytes out of a memory stream, which is left empty: as written,
// or (`original`) as the stream started. Empty for other streams.
std::vector<uint8_t> memory_stream_take(HostStream* stream, bool original);

}  // namespace kvhost

struct HostStream {
    // First, so that the component finds it at the stream's address.
    HostStreamDescriptor descriptor{};
    std::unique_ptr<kvhost::StreamBackend> backend;
    int64_t position = 0;
    // Bytes [hidden_from, hidden_to) are left out: a position among them
    // stands for the same distance past hidden_to. A page reader uses this
    // to let a load go from the header straight on to a later page's blocks,
    // while every position it sees is the file's own.
    int64_t hidden_from = 0;
    int64_t hidden_to = 0;
    int32_t byte_order = 0;  // 0 = least significant byte first, 1 = most significant first
    kvhost::StreamFaults faults;
    // While set, every seek from the start opens a span here.
    std::vector<kvhost::ReadSpan>* read_spans = nullptr;
    std::string file_name;  // set for streams that IO_open may open by name (through name_stream)
    kvhost::LoadSink sink;  // what loads deliver through this stream
    std::unique_ptr<kvhost::SaveSource> save;  // what a save reads through this stream
};

namespace kvhost {
// Sets the stream's file name and the descriptor's view of it.
void name_stream(HostStream& stream, std::string name);
}  // namespace kvhost
