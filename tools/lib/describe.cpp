// describe.cpp - decoding of the data area per command.
#include "describe.h"

#include <cstdio>
#include <ctime>

#include "commands.h"
#include "names.h"

namespace {

// A byte that carries a value: the number, or the character when a sender
// wrote a printable one (which shows a text/byte mix-up at a glance).
std::string ByteValue(uint8_t b)
{
    if (b >= 0x20 && b < 0x7f) {
        std::string s = "'";
        s += static_cast<char>(b);
        return s + "'";
    }
    return std::to_string(b);
}

bool AllDigits(const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i] < '0' || p[i] > '9')
            return false;
    return true;
}

std::string Text(const uint8_t *p, size_t n)
{
    return std::string(reinterpret_cast<const char *>(p), n);
}

std::string GuardLog(const FrameData &d)
{
    if (!AllDigits(d.data(), 14))
        return "";
    const uint8_t *p = d.data();
    return "guard log " + Text(p, 4) + "-" + Text(p + 4, 2) + "-" + Text(p + 6, 2) + " " +
           Text(p + 8, 2) + ":" + Text(p + 10, 2) + ":" + Text(p + 12, 2) + ", kind " +
           std::to_string(d[16]) + "/" + std::to_string(d[17]);
}

std::string Report(const FrameData &d, bool withCode)
{
    if (!AllDigits(d.data(), 3))
        return "";
    std::string s = "result " + Text(d.data(), 3);
    if (withCode)
        s += ", code " + QuoteData(d.data() + 3, 4);
    return s;
}

std::string Kill(const FrameData &d)
{
    if (!AllDigits(d.data(), 3))
        return "";
    int id = (d[0] - '0') * 100 + (d[1] - '0') * 10 + (d[2] - '0');
    return "kill " + Text(d.data(), 3) + " (" + ModuleLabel(id) + ")";
}

std::string Answer(uint8_t v)
{
    std::string s = "answer " + ByteValue(v);
    return v == 2 ? s + " (loop signal off)" : s;
}

std::string Function(uint8_t v)
{
    return v == 1 ? "function on" : v == 0 ? "function off" : "function " + ByteValue(v);
}

// Local time of day with milliseconds.
std::string Clock()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    localtime_r(&ts.tv_sec, &tm);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<long>(ts.tv_nsec / 1000000));
    return text;
}

std::string Known(const Frame &f)
{
    const FrameData &d = f.data;
    switch (f.cid) {
    case CMDID_GUARD_LOG: return GuardLog(d);
    case CMDID_AUTH_GUARD: return "notice " + ByteValue(d[0]) + "," + ByteValue(d[1]);
    case CMDID_GDBT_CON_NTF: return "loop state " + ByteValue(d[2]);
    case CMDID_PARE_GUARD_ANS: return Answer(d[0]);
    case CMDID_GDBT_FUNC: return Function(d[0]);
    case CMDID_PARE_GUARD_NTF: return "notice " + ByteValue(d[0]);
    case CMDID_WAKEUP_COMP: return Report(d, true);
    case CMDID_TERM_COMP: return Report(d, false);
    case CMDID_MODULE_KILL: return Kill(d);
    case CMDID_TERMINATE: return "order " + ByteValue(d[0]);
    default: return "";
    }
}

} // namespace

std::string QuoteData(const uint8_t *p, size_t n)
{
    while (n > 0 && p[n - 1] == ' ')
        --n;
    std::string out = "\"";
    for (size_t i = 0; i < n; ++i) {
        uint8_t c = p[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out + "\"";
}

std::string DescribeData(const Frame &frame)
{
    std::string known = Known(frame);
    if (!known.empty())
        return known;
    std::string q = QuoteData(frame.data.data(), frame.data.size());
    return q == "\"\"" ? "" : "data " + q;
}

std::string DescribeFrame(const Frame &frame)
{
    std::string s = ModuleLabel(frame.mid) + "(" + std::to_string(frame.mid) + ") " +
                    std::to_string(frame.cid) + " " + CommandMeaning(frame.cid);
    std::string d = DescribeData(frame);
    if (!d.empty())
        s += ", " + d;
    if (frame.size != FIFO_MSG_SIZE)
        s += " [short frame: " + std::to_string(frame.size) + " bytes]";
    return s;
}

std::string TimedFrameLine(const std::string &fifo, const Frame &frame)
{
    return Clock() + " " + fifo + " " + DescribeFrame(frame);
}
