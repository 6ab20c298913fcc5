// The GIF half of decode and info. Not built yet.
#include "decoders.h"

namespace kvtool {

int decode_gif(const ParsedArgs&) {
    complain("decoding GIF is not built into this version yet");
    return kExitFailure;
}

int info_gif(const ParsedArgs&) {
    complain("describing GIF is not built into this version yet");
    return kExitFailure;
}

}  // namespace kvtool
