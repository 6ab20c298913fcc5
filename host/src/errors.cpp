// Error records (AF_err_record_set, AF_error_check, AF_error_clear): one list
// per thread, so loads on different threads never see each other's errors.
#include "kvhost/errors.h"
#include "service_impl.h"

#include <cstdio>

namespace kvhost {
namespace {

thread_local std::vector<ErrorRecord> t_records;

HostStatus status_of(int32_t code) { return code != 0 ? code : -1; }

}  // namespace

std::vector<ErrorRecord> error_records() { return t_records; }

void clear_errors() { t_records.clear(); }

size_t error_count() { return t_records.size(); }

HostStatus error_status() { return t_records.empty() ? 0 : status_of(t_records.front().code); }

HostStatus record_host_error(const char* module, int32_t line, int32_t code, const std::string& text,
                             int64_t detail0, int64_t detail1, int64_t detail2) {
    ErrorRecord record;
    record.module = module;
    record.line = line;
    record.code = code;
    record.details[0] = detail0;
    record.details[1] = detail1;
    record.details[2] = detail2;
    record.has_text = !text.empty();
    record.text = text;
    t_records.push_back(std::move(record));
    return error_status();
}

const char* error_meaning(int32_t code) {
    switch (code) {
        case -200: return "predictor 2 on 4-bit samples";
        case -401: return "frame index or property id out of range";
        case -512: return "unknown attribute name";
        case -900: return "operation not supported by a multi-page instance";
        case -1000: return "an allocation failed";
        case -1005: return "unknown filter operation code";
        case -1006: return "not implemented by this component";
        case -1007: return "raw raster geometry the filter cannot load";
        case -1010: return "a TIFF layout the strip service refuses";
        case -2005: return "GIF header short, or page not found";
        case -2030: return "a named file cannot be opened";
        case -2052: return "a GIF block is short";
        case -2060: return "unknown GIF block or extension label, or a bad terminator";
        case -2070: return "a colour table was written short";
        case -2071: return "a data sub-block was written short";
        case -2072: return "a block was written short";
        case -2100: return "a byte or a frame cannot be read";
        case -2112: return "no conversion to a GIF pixel format";
        case -2391: return "bad LZW minimum code size or code, or frame at time without frames";
        case -2393: return "a single byte was not written";
        case -2413: return "image depth other than 1, 4 or 8 on save";
        case -2414: return "an image without rows on save";
        case -2453: return "a seek failed";
        case -2479: return "extension record with an unknown label";
        case -3020: return "a multi-page work buffer cannot be allocated";
        case -3380: return "destroy without an instance";
        case -4750: return "an image without a palette during composition";
        case host_error::kNotImplemented: return "service not implemented by this host";
        case host_error::kBadArgument: return "bad argument to a host service";
        case host_error::kUnknownBlock: return "unknown memory block";
        case host_error::kStream: return "stream failure";
        case host_error::kImageTooLarge: return "image too large";
        case host_error::kUnknownService: return "unknown host service";
        case host_error::kNoMemory: return "the host is out of memory";
        case host_error::kUnexpected: return "an unexpected failure inside the host";
        case -9011: return "a host service failed (injected)";
        case -9010: return "a TIFF layout the host's reader does not support";
        default: return "";
    }
}

std::string describe(const ErrorRecord& record) {
    char head[96];
    std::snprintf(head, sizeof head, "error %d", record.code);
    std::string line = head;
    const char* meaning = error_meaning(record.code);
    if (*meaning != '\0') line += std::string(" (") + meaning + ")";
    char place[64];
    std::snprintf(place, sizeof place, ":%d [%lld, %lld, %lld]", record.line,
                  static_cast<long long>(record.details[0]), static_cast<long long>(record.details[1]),
                  static_cast<long long>(record.details[2]));
    line += " at " + record.module + place;
    if (record.has_text) line += ": " + record.text;
    return line;
}

}  // namespace kvhost

using namespace kvhost;

extern "C" HostStatus kvhost_AF_error_check(void) { return error_status(); }

extern "C" HostStatus kvhost_AF_error_clear(void) {
    clear_errors();
    return 0;
}

extern "C" HostStatus kvhost_AF_err_record_set(const char* file, int32_t line, int32_t code, int64_t detail0,
                                               int64_t detail1, int64_t detail2, const char* text) {
    ErrorRecord record;
    record.module = file != nullptr ? file : "";
    record.line = line;
    record.code = code;
    record.details[0] = detail0;
    record.details[1] = detail1;
    record.details[2] = detail2;
    record.has_text = text != nullptr;
    record.text = text != nullptr ? text : "";
    t_records.push_back(std::move(record));
    return error_status();
}
