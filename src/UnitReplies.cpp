#include "UnitReplies.h"

#include <cstdio>
#include <cstring>

int parseVersionReply(const char *reply, UnitVersions *v) {
    // %7s bounds the model word to `model`; a longer word leaves its tail for "%d." and fails.
    return std::sscanf(reply, "%d.%d.%d %7s %d.%d %d", &v->fw_ver, &v->fw_rev, &v->fw_sub, v->model, &v->fpga_ver,
                       &v->fpga_rev, &v->fpga_type);
}

bool unitPromptShown(const char *text) {
    const size_t length = std::strlen(text);
    return length >= 2 && text[0] == '[' && text[length - 2] == '>' && text[length - 1] == '>';
}
