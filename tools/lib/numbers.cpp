// numbers.cpp - integer, hex-byte and duration parsing without exceptions.
#include "numbers.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

constexpr double kMaxDurationMs = 3600.0 * 1000.0;

} // namespace

bool ParseLong(const std::string &text, long min, long max, long *out)
{
    if (text.empty() || text[0] == '+' || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v < min || v > max)
        return false;
    *out = v;
    return true;
}

bool ParseHexBytes(const std::string &text, std::vector<uint8_t> *out)
{
    std::string digits;
    size_t i = 0;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        i = 2;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c == ' ' || c == ':')
            continue;
        if (HexDigit(c) < 0)
            return false;
        digits += c;
    }
    if (digits.empty() || digits.size() % 2 != 0)
        return false;
    for (size_t k = 0; k < digits.size(); k += 2)
        out->push_back(static_cast<uint8_t>(HexDigit(digits[k]) * 16 + HexDigit(digits[k + 1])));
    return true;
}

bool ParseDuration(const std::string &text, int *ms)
{
    std::string num = text;
    double scale = 1000.0;
    // A bare number is refused: "wait 250" meant as milliseconds would
    // otherwise wait four minutes.
    if (num.size() > 2 && num.compare(num.size() - 2, 2, "ms") == 0) {
        num.resize(num.size() - 2);
        scale = 1.0;
    } else if (num.size() > 1 && num.back() == 's') {
        num.pop_back();
    } else {
        return false;
    }
    if (num.empty() || num.find_first_not_of("0123456789.") != std::string::npos)
        return false;
    errno = 0;
    char *end = nullptr;
    double v = std::strtod(num.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v * scale > kMaxDurationMs)
        return false;
    *ms = static_cast<int>(std::lround(v * scale));
    return true;
}
