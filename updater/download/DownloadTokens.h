// The small texts the engine hands to its transfer threads and to libcurl
// as user pointers, and their reading back.
#pragma once

#include <cstddef>
#include <cstdint>

// "%p+%d": the engine's address and a segment index, in a 32-byte buffer.
void FormatThreadToken(char (&buffer)[32], const void* engine, int index);

// Splits at the first "+": a hexadecimal address before it, a decimal index
// after it. False for a null text, a text without "+", an address of 0 or a
// negative or unreadable index. (Whether the index names a segment is the
// engine's question.)
bool ParseThreadToken(const char* text, uintptr_t* engine, int* index);

// The range probe's user pointer: "RangeTest##<counter address>##<limit>",
// counting the bytes the probe receives. Room for a 64-bit address in full
// width (as %p prints it on Windows) and any limit.
struct RangeTestToken {
    char text[64] = {};
    int32_t counter = 0;

    explicit RangeTestToken(int32_t limit);
};

// True when `userPointer` is a RangeTestToken text.
bool IsRangeTestToken(const void* userPointer);

// Adds size * count to the token's counter; returns size * count, or
// size * count - 1 (aborting the request) once the counter passes the limit.
size_t CountRangeTestBytes(const void* userPointer, size_t size, size_t count);
