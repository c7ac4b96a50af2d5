#include "product/UnitReplies.h"

#include <climits>
#include <cstring>

namespace {

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads a text the way "%d", "%7s" and literal characters of scanf do, except that a number
// that does not fit an int does not convert (scanf would wrap it: 4294967303 would read as 7).
struct Scanner {
    const char *p;

    void skipSpace() {
        while (isSpace(*p)) ++p;
    }
    bool number(int &out) {
        skipSpace();
        const char *q = p;
        const bool negative = *q == '-';
        if (*q == '-' || *q == '+') ++q;
        if (!isDigit(*q)) return false;
        long long v = 0;
        for (; isDigit(*q); ++q)
            if ((v = v * 10 + (*q - '0')) > (long long)INT_MAX + 1) return false;
        if (negative) v = -v;
        if (v > INT_MAX) return false;
        out = (int)v;
        p = q;
        return true;
    }
    bool literal(char c) {
        if (*p != c) return false;
        ++p;
        return true;
    }
    bool word(char *out, size_t width) {
        skipSpace();
        size_t n = 0;
        while (*p != '\0' && !isSpace(*p) && n < width) out[n++] = *p++;
        if (n == 0) return false;
        out[n] = '\0';
        return true;
    }
};

} // namespace

int parseVersionReply(const char *reply, UnitVersions *v) {
    // "%d.%d.%d %7s %d.%d %d"; the width bounds the model word to `model`, and a longer word
    // leaves its tail where the FPGA version should be, which then does not convert.
    Scanner s{reply};
    bool ok = s.number(v->fw_ver);
    int fields = ok;
    fields += ok = ok && s.literal('.') && s.number(v->fw_rev);
    fields += ok = ok && s.literal('.') && s.number(v->fw_sub);
    fields += ok = ok && s.word(v->model, sizeof v->model - 1);
    fields += ok = ok && s.number(v->fpga_ver);
    fields += ok = ok && s.literal('.') && s.number(v->fpga_rev);
    fields += ok = ok && s.number(v->fpga_type);
    return fields;
}

bool unitPromptShown(const char *text) {
    const size_t length = std::strlen(text);
    return length >= 2 && text[0] == '[' && text[length - 2] == '>' && text[length - 1] == '>';
}
