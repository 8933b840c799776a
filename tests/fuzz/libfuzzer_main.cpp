/* libFuzzer's entry point; ORVI_FUZZ_FUNCTION names the target this executable runs. */
#include "fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return ORVI_FUZZ_FUNCTION(data, size);
}
