// The TIFF half of decode and info. Not built yet.
#include "decoders.h"

namespace kvtool {

int decode_tiff(const ParsedArgs&) {
    complain("decoding TIFF is not built into this version yet");
    return kExitFailure;
}

int info_tiff(const ParsedArgs&) {
    complain("describing TIFF is not built into this version yet");
    return kExitFailure;
}

}  // namespace kvtool
