#ifndef ENCODER_H_
#define ENCODER_H_

// Standard Base64 (RFC 4648) with "=" padding and no line breaks.
// *dlen: on entry the room in dst; on success the bytes written; -1 with the room needed.

// 0: text and a zero byte written. -1: room too small, *dlen = 4 * ceil(slen / 3) + 1.
// slen 0: 0, nothing written, *dlen unchanged.
int base64_encode(unsigned char *dst, int *dlen, const unsigned char *src, int slen);
// 0: bytes written ("\r\n" and "\n" skipped; an incomplete last group is not written).
// -1: invalid input (*dlen unchanged) or room too small (*dlen = (6n + 7) / 8, "=" counted).
// No characters at all: 0, *dlen unchanged.
int base64_decode(unsigned char *dst, int *dlen, const unsigned char *src, int slen);

#endif
