// Any bytes as a unit's version reply or post-reboot text.
#include "base/Console.h"
#include "image/Flatten.h"
#include "product/UnitReplies.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text((const char *)data, size);
    StrRemoveNL(text.data(), ' ');
    UnitVersions v;
    int fields = parseVersionReply(text.c_str(), &v);
    if (fields > 7 || v.model[7] != '\0') std::abort();
    unitPromptShown(text.c_str());
    // What reaches the terminal: only printable text, CR and LF, whatever came.
    for (unsigned char c : consoleSafeText(std::string((const char *)data, size), size))
        if ((c < 0x20 && c != '\r' && c != '\n') || c >= 0x7F) std::abort();
    return 0;
}
