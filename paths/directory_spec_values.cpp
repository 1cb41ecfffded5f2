// The random token and the system-time texts of the directory spec placeholders.
#include "paths/directory_spec_values.h"

#include <stdio.h>

#include "base/process_state.h"
#include "paths/bounded.h"

namespace {

// RFC 4648's URL- and file-name-safe alphabet: every character is valid in a path component.
const char token_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// The digits are ASCII: formatted narrow, then widened through the bounded append.
void widen_number(wchar_t* text, const char* narrow, size_t capacity)
{
    text[0] = 0;
    append_ascii_widened(text, narrow, capacity);
}

}  // namespace

uint32_t random_seed(uint32_t process_id, uint64_t counter, uint64_t counter_address)
{
    uint32_t seed = process_id ^ static_cast<uint32_t>(counter >> 32) ^ static_cast<uint32_t>(counter) ^
                    static_cast<uint32_t>(counter_address >> 32) ^ static_cast<uint32_t>(counter_address);
    return seed != 0 ? seed : 1;
}

uint32_t xorshift_step(uint32_t state)
{
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

void make_random_token(uint32_t seed, wchar_t* token)
{
    unsigned char bytes[8];
    uint32_t state = seed;
    for (int i = 0; i < 8; ++i) {
        state = xorshift_step(state);
        bytes[i] = static_cast<unsigned char>(state & 0xFF);
    }
    encode_random_token(bytes, token);
}

void encode_random_token(const unsigned char* source, wchar_t* token)
{
    unsigned char bytes[9] = {0};  // the 8 bytes and a zero that pads the last group of three
    for (int i = 0; i < 8; ++i) bytes[i] = source[i];
    int out = 0;
    for (int group = 0; group < 9; group += 3) {
        uint32_t bits = (static_cast<uint32_t>(bytes[group]) << 16) |
                        (static_cast<uint32_t>(bytes[group + 1]) << 8) | bytes[group + 2];
        for (int shift = 18; shift >= 0 && out < random_token_length; shift -= 6)
            token[out++] = static_cast<wchar_t>(token_alphabet[(bits >> shift) & 0x3F]);
    }
    token[random_token_length] = 0;
}

void format_time_us(int64_t system_time, wchar_t* text, size_t capacity)
{
    // No epoch conversion: the sub-second part is the same in every epoch that starts on a second.
    char narrow[value_text_capacity];
    snprintf(narrow, sizeof narrow, "%06ld", static_cast<long>((system_time / 10) % 1000000));
    widen_number(text, narrow, capacity);
}

void format_start_time(int64_t system_time, wchar_t* text, size_t capacity)
{
    char narrow[value_text_capacity];
    snprintf(narrow, sizeof narrow, "%lld", static_cast<long long>(system_time));
    widen_number(text, narrow, capacity);
}
