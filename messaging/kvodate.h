// kvodate.h - the packing and formatting behind GetCurTime and
// GetDateTimeStr, apart from the clock so that any moment can be checked.
// Private to the messaging sources (and their tests).
#pragma once

#include <cstdint>
#include <ctime>

namespace kvo {

// Date word (year << 16 | month << 8 | day) and time word (hour << 24 |
// minute << 16 | second << 8 | hundredths) of a broken-down local time and
// its microseconds.  Null outputs are skipped.
void DateWords(const struct tm &tm, long usec, uint32_t *pDate, uint32_t *pTime);

// The 8 date digits "YYYYMMDD" and the 6 time digits "hhmmss" of the two
// words, without terminators.
void DateWordsStr(uint32_t date, uint32_t time, char *pDate, char *pTime);

} // namespace kvo
