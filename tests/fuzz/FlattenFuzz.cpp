// Any bytes as an Intel HEX text: the flattening must never read or write outside its buffers.
#include "base/Console.h"
#include "image/Flatten.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (gDataConcatenated == nullptr) gDataConcatenated = allocateDataConcatenated();
    std::string text((const char *)data, size); // exact size: the sanitizers see any overrun
    consoleCaptureBegin();
    BOOL ok = ValidateFwAndConcatenateData(text.data());
    consoleCaptureEnd();
    if (ok && (gDataConcatenatedLenght < 0 || gDataConcatenatedLenght > CONCAT_BUFFER_SIZE)) std::abort();
    if (ok) computeDataConcatenatedCheckSum();
    return 0;
}
