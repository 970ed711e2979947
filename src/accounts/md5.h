// MD5 digests (RFC 1321, from libmd) and the digest-text helpers.
#pragma once

#include <cstdint>

// Digest of exactly `length` bytes into `out` (16 bytes).
void MD5Buffer(const void* data, std::uint32_t length, unsigned char out[16]);

// Writes the 32 lower-case hex digits into `text` of `size` bytes: stops
// before a pair that would not fit, then a NUL if room is left.
void md5_sig_to_string(const unsigned char digest[16], char* text, int size);

// The 16 bytes a digest text denotes.
void md5_sig_from_string(unsigned char digest[16], const char* text);

// 1 when text is exactly 32 hex digits (either case), else 0.
int isValidMD5(const char* text);

// MD5Buffer over the text's characters, then md5_sig_to_string into a
// 64-byte buffer: the idiom every caller uses.
void digest_text_of(const char* plain, char out[64]);
