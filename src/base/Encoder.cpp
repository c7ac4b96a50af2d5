#include "base/Encoder.h"

static const unsigned char base64_enc_map[64] = {
    'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P', 'Q', 'R', 'S', 'T', 'U', 'V',
    'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r',
    's', 't', 'u', 'v', 'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};

namespace {
// Character code to value; "=" is 64, anything outside the alphabet 127.
struct DecodeMap {
    unsigned char value[128] = {};
    constexpr DecodeMap() {
        for (int c = 0; c < 128; ++c) value[c] = 127;
        for (int v = 0; v < 64; ++v) value[base64_enc_map[v]] = (unsigned char)v;
        value['='] = 64;
    }
};
constexpr DecodeMap base64_dec_map;
} // namespace

int base64_encode(unsigned char *dst, int *dlen, const unsigned char *src, int slen) {
    if (slen == 0) return 0;
    const int n = (slen + 2) / 3 * 4;
    if (*dlen < n + 1) {
        *dlen = n + 1;
        return -1;
    }
    unsigned char *p = dst;
    int i = 0;
    for (; i + 3 <= slen; i += 3) {
        const int c1 = src[i], c2 = src[i + 1], c3 = src[i + 2];
        *p++ = base64_enc_map[c1 >> 2];
        *p++ = base64_enc_map[((c1 & 3) << 4) + (c2 >> 4)];
        *p++ = base64_enc_map[((c2 & 15) << 2) + (c3 >> 6)];
        *p++ = base64_enc_map[c3 & 63];
    }
    if (i < slen) {
        const int c1 = src[i], c2 = i + 1 < slen ? src[i + 1] : 0;
        *p++ = base64_enc_map[c1 >> 2];
        *p++ = base64_enc_map[((c1 & 3) << 4) + (c2 >> 4)];
        *p++ = i + 1 < slen ? base64_enc_map[(c2 & 15) << 2] : '=';
        *p++ = '=';
    }
    *dlen = (int)(p - dst);
    *p = 0;
    return 0;
}

// "\r" counts as a line end only in front of "\n".
static bool isLineEnd(const unsigned char *src, int i, int slen) {
    return src[i] == '\n' || (src[i] == '\r' && i + 1 < slen && src[i + 1] == '\n');
}

int base64_decode(unsigned char *dst, int *dlen, const unsigned char *src, int slen) {
    int n = 0, equals = 0;
    for (int i = 0; i < slen; ++i) {
        if (isLineEnd(src, i, slen)) continue;
        if (src[i] == '=' && ++equals > 2) return -1;
        if (src[i] > 127 || base64_dec_map.value[src[i]] == 127) return -1;
        if (base64_dec_map.value[src[i]] < 64 && equals != 0) return -1;
        ++n;
    }
    if (n == 0) return 0;
    const int needed = (6 * n + 7) >> 3;
    if (*dlen < needed) {
        *dlen = needed;
        return -1;
    }
    int count = 3, group = 0;
    unsigned long accumulator = 0;
    unsigned char *p = dst;
    for (int i = 0; i < slen; ++i) {
        if (src[i] == '\r' || src[i] == '\n') continue;
        if (src[i] == '=') --count;
        accumulator = (accumulator << 6) | (base64_dec_map.value[src[i]] & 0x3F);
        if (++group == 4) {
            group = 0;
            if (count > 0) *p++ = (unsigned char)(accumulator >> 16);
            if (count > 1) *p++ = (unsigned char)(accumulator >> 8);
            if (count > 2) *p++ = (unsigned char)accumulator;
        }
    }
    *dlen = (int)(p - dst);
    return 0;
}
