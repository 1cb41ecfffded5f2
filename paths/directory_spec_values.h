// Values of the directory spec placeholders that are computed rather than read: the random token
// (seed, xorshift steps, URL-safe base64) and the two system-time texts. Pure: no system calls.
#ifndef TAVRIN_PATHS_DIRECTORY_SPEC_VALUES_H
#define TAVRIN_PATHS_DIRECTORY_SPEC_VALUES_H

#include <stddef.h>
#include <stdint.h>

enum {
    random_token_length = 11,    // 8 bytes in base64 without fill characters
    random_token_capacity = 12,  // the token and its terminator
    value_text_capacity = 1024   // scratch for a formatted number
};

// The token's seed: process id XOR both 32-bit halves of the performance counter value XOR both
// halves of the address where that value was stored. A seed of 0 becomes 1 (xorshift stays at 0).
uint32_t random_seed(uint32_t process_id, uint64_t counter, uint64_t counter_address);

// One 32-bit xorshift step: x ^= x << 13; x ^= x >> 17; x ^= x << 5.
uint32_t xorshift_step(uint32_t state);

// Writes the 11-character token of `bytes` (8 of them) and its terminator into `token`
// (random_token_capacity units): base64 with "-" and "_", no fill characters.
void encode_random_token(const unsigned char* bytes, wchar_t* token);

// The fallback where the system's generator is missing: the token of the low bytes of the first
// eight xorshift states after `seed`, through encode_random_token.
void make_random_token(uint32_t seed, wchar_t* token);

// The microsecond within the second of `system_time` (100-ns intervals since 1601) as exactly six
// digits, "%06ld", into `text` (`capacity` units). Aborts when it does not fit.
void format_time_us(int64_t system_time, wchar_t* text, size_t capacity);

// `system_time` itself in decimal, "%lld", into `text` (`capacity` units). Aborts when it does not fit.
void format_start_time(int64_t system_time, wchar_t* text, size_t capacity);

#endif
