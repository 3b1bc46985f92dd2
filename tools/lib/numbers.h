// numbers.h - strict parsing of the numbers people type at the tools:
// integers (decimal or 0x hex), hex byte strings and durations.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The whole text as an integer within [min, max]; decimal, or hex with 0x.
bool ParseLong(const std::string &text, long min, long max, long *out);
// Hex digits in pairs, with optional spaces, colons or a 0x prefix:
// "0a0b", "0a 0b", "0x0a0b".  Appends to *out.
bool ParseHexBytes(const std::string &text, std::vector<uint8_t> *out);
// "3s", "3.5s" or "250ms" (the unit is required); up to one hour.
bool ParseDuration(const std::string &text, int *ms);
