// describe.h - frames in words: the data area as quoted text, and what the
// data of each command of the protocol means (loop state, guard log date
// and time, report result, ...).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "frame.h"

// Quoted, C-escaped, without the trailing spaces: "052", "\x01\x00".
std::string QuoteData(const uint8_t *p, size_t n);
// The data as the command gives it meaning: `loop state 1`,
// `guard log 2025-12-06 07:51:35, kind 4/0`, `data "052"`; empty when a
// command carries nothing but spaces.
std::string DescribeData(const Frame &frame);
// One line: `kvogdbt(52) 454 IO status request, data "052"`.
std::string DescribeFrame(const Frame &frame);
// A frame seen on a FIFO now, as watch and monitor print it:
// `08:13:33.123 FifoSts kvogdbt(52) 454 IO status request, data "052"`.
std::string TimedFrameLine(const std::string &fifo, const Frame &frame);
