// Cutting UTF-8 text to a byte budget without splitting a character, for messages built into
// fixed buffers on both sides of the module (the runtime's and the host's). Pure functions on
// bytes: no Python, no allocation, no failure.
#pragma once
#include <cstddef>

namespace wuna::text {

// The length of the longest prefix of text (length bytes) that is at most max bytes and does
// not end inside a UTF-8 sequence. Never fails; text may be null when length is 0.
constexpr size_t utf8Prefix(const char* text, size_t length, size_t max) {
    if (length <= max) return length;
    size_t n = max;
    // text[max] exists (length > max): a continuation byte there means the cut at max falls
    // inside a sequence, so step back to the sequence's first byte.
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) n--;
    return n;
}

static_assert(utf8Prefix("abc", 3, 5) == 3);
static_assert(utf8Prefix("abc", 3, 2) == 2);
static_assert(utf8Prefix("a\xC3\xA9", 3, 2) == 1);  // "aé" cut inside the é
static_assert(utf8Prefix("a\xC3\xA9x", 4, 3) == 3);

}  // namespace wuna::text
