// The raw LZW half of decode. Not built yet.
#include "decoders.h"

namespace kvtool {

int decode_raw(const ParsedArgs&) {
    complain("decoding raw LZW data is not built into this version yet");
    return kExitFailure;
}

}  // namespace kvtool
