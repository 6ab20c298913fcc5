// kvlzw lzw compress|decompress: bare TIFF LZW streams through the
// component's named services and decode routine.
#include "kvhost/lzw.h"
#include "kvhost/mapped_file.h"
#include "kvhost/sequential_stream.h"
#include "tool.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <memory>

namespace kvtool {
namespace {

int run_lzw(const ParsedArgs& args) {
    if (args.positional.size() != 2) return usage_error("lzw", "needs compress or decompress, then IN");
    const std::string& action = args.positional[0];
    if (action != "compress" && action != "decompress")
        return usage_error("lzw", "unknown action '" + action + "' (compress or decompress)");
    if (!args.has("-o")) return usage_error("lzw", "needs -o OUT");
    uint64_t size = 0;
    uint64_t fill_order = 1;
    if (args.has("--size") && (!parse_number(args.value("--size"), &size) || size > INT32_MAX))
        return usage_error("lzw", "--size takes a whole number up to 2147483647");
    if (args.has("--fill-order") && (!parse_number(args.value("--fill-order"), &fill_order) || fill_order > 2))
        return usage_error("lzw", "--fill-order takes 0, 1 or 2");
    if (action == "compress" && (args.has("--size") || args.has("--fill-order")))
        return usage_error("lzw", "--size and --fill-order apply to decompress only");

    // A regular file is mapped: no copy, and going back costs nothing. Other
    // input is read front to back and only as far as the job needs, so pipes
    // and endless devices work and stop at the memory budget.
    const std::string& in = args.positional[1];
    const int fd = open_input_descriptor(in);
    if (fd < 0) return kExitFailure;
    struct stat info;
    std::unique_ptr<kvhost::MappedFile> mapped;
    std::unique_ptr<HostStream> stream;
    if (fd != 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        close(fd);
        mapped = std::make_unique<kvhost::MappedFile>(in);
        if (!mapped->ok()) {
            complain(mapped->error());
            return kExitFailure;
        }
        stream = kvhost::memory_view_stream(mapped->data(), mapped->size());
        stream->file_name = in;
    } else {
        stream = kvhost::sequential_stream(fd, fd != 0, in == "-" ? "standard input" : in);
    }
    auto component = load_component(args);
    if (component == nullptr) return kExitFailure;

    // The result goes to the file as the host hands it over: no copy of it
    // is held, and the file appears only once it is whole.
    OutputFile out(args.value("-o"));
    if (!out.ok()) {
        complain(out.error());
        return kExitFailure;
    }
    const kvhost::lzw::ByteWriter write = [&out](const uint8_t* bytes, size_t count) {
        return out.write(bytes, count);
    };
    HostStatus status;
    const auto order = static_cast<uint16_t>(fill_order);
    if (action == "compress") {
        std::vector<uint8_t> input;
        if (mapped != nullptr) {
            status = kvhost::lzw::compress(mapped->data(), mapped->size(), write);
        } else {
            status = kvhost::read_all_within_budget(fd, stream->file_name, &input)
                         ? kvhost::lzw::compress(input.data(), input.size(), write)
                         : kvhost::error_status();
        }
    } else if (args.has("--size")) {
        status = kvhost::lzw::decompress(stream.get(), static_cast<uint32_t>(size), order, write);
    } else {
        const int64_t data_end = mapped != nullptr ? static_cast<int64_t>(mapped->size()) : -1;
        status = kvhost::lzw::decompress_all(stream.get(), order, write, data_end);
    }
    if (status != 0) {
        // A write that failed says why itself.
        if (!out.error().empty()) complain(out.error());
        report_host_errors();
        complain("cannot " + action + " " + stream->file_name);
        return kExitFailure;
    }
    if (!out.commit()) {
        complain(out.error());
        return kExitFailure;
    }
    return kExitOk;
}

const Registration registration({
    "lzw",
    "compress or decompress a bare TIFF LZW stream",
    "Usage: kvlzw lzw compress IN -o OUT\n"
    "       kvlzw lzw decompress IN -o OUT [--size N] [--fill-order 2]\n"
    "IN and OUT may be - for standard input and output. Input beyond the memory\n"
    "budget (--max-memory) is refused; with --size, reading stops once N bytes\n"
    "are decoded.\n"
    "\n"
    "compress: writes the TIFF LZW stream of IN's bytes (most significant bit\n"
    "first, a clear code first, an end code last; no predictor).\n"
    "decompress: decodes a TIFF LZW stream, new-style or old-style (told apart\n"
    "by its first code).\n"
    "\n"
    "  -o OUT           the output file, written in full or not at all\n"
    "  --size N         decode exactly N bytes (zero bytes past the end of the\n"
    "                   data); default: decode up to the end code or the end of\n"
    "                   the data (data cut short without an end code may lose\n"
    "                   the tail of its last string: give --size for it)\n"
    "  --fill-order 2   the bits of every byte are stored reversed (new-style)\n"
    "  --module PATH    load the component from PATH\n",
    {{"-o", true}, {"--size", true}, {"--fill-order", true}},
    &run_lzw,
    60,
});

}  // namespace
}  // namespace kvtool
