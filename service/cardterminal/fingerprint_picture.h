// The terminal's fingerprint picture: 152 x 200 grey pixels delivered as 60800 hex digits,
// turned into an 8-bit BMP file (31478 bytes).
#pragma once

constexpr int kFprWidth = 152;
constexpr int kFprHeight = 200;
constexpr int kFprHexDigits = kFprWidth * kFprHeight * 2;

// For i = 0, 2, 4, ... while i < length - 1: out[i / 2] = 16 * value(text[i]) + value(text[i + 1]),
// where a character that is not a hex digit (the zero byte included) counts as 0. `text` must
// hold `length` bytes and `out` length / 2.
void HexToBytes(const char* text, unsigned char* out, int length);

// The BMP file of a 152 x 200 picture (`pixels` top row first), in memory from malloc that the
// caller frees. On failure *file is null and *fileSize 0.
void BuildGrayBmp(unsigned char** file, const unsigned char* pixels, int* fileSize);
