// timeline.cpp - formatting events as timeline lines.
#include "timeline.h"

#include "commands.h"
#include "describe.h"
#include "names.h"

namespace {

std::string Stamp(double t)
{
    char text[32];
    std::snprintf(text, sizeof text, "+%.3fs", t);
    return text;
}

std::string Pad(const std::string &s, size_t width)
{
    return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

std::string FrameText(const std::string &from, const std::string &to, const Frame &f)
{
    std::string s = Pad(from, 7) + " -> " + Pad(to, 7) + "  " + Pad(std::to_string(f.cid), 3) +
                    " " + CommandMeaning(f.cid);
    std::string d = DescribeData(f);
    return d.empty() ? s : s + ", " + d;
}

std::string PeerFrame(const Event &e)
{
    size_t n = 0;
    const PeerFifo &p = PeerFifos(&n)[e.peer];
    std::string s = FrameText("kvogdbt", ModuleLabel(p.modId), e.frame);
    // The status module has two FIFOs: name the one that is not its usual.
    if (FindPeer(ModuleLabel(p.modId)) != &p)
        s += " [" + std::string(p.fifo) + "]";
    return s;
}

std::string ExitText(int status)
{
    if (status < 0)
        return "kvogdbt ended (status unknown)";
    if (status > 128)
        return "kvogdbt ended by signal " + std::to_string(status - 128);
    return "kvogdbt exited with status " + std::to_string(status);
}

const char *Color(const Event &e)
{
    switch (e.kind) {
    case EventKind::ToPeer: return "36";
    case EventKind::ToService: return "33";
    case EventKind::Log: return e.priority >= 7 ? "90" : "";
    case EventKind::Device: return "35";
    case EventKind::Exit: return "1";
    case EventKind::Note: return e.ok ? "34" : "1;31";
    case EventKind::Check: return e.ok ? "32" : "1;31";
    }
    return "";
}

std::string Body(const Event &e)
{
    switch (e.kind) {
    case EventKind::ToPeer: return PeerFrame(e);
    case EventKind::ToService: {
        std::string s = FrameText(ModuleLabel(e.frame.mid), "kvogdbt", e.frame);
        return e.automatic ? s + " (auto-answer)" : s;
    }
    case EventKind::Log:
        return "log <" + (e.priority < 0 ? std::string("?") : std::to_string(e.priority)) +
               "> " + e.text;
    case EventKind::Device: return e.text;
    case EventKind::Exit: return ExitText(e.status);
    case EventKind::Note: return "# " + e.text;
    case EventKind::Check: return (e.ok ? "ok      " : "MISSED  ") + e.text;
    }
    return e.text;
}

} // namespace

std::string Timeline::Plain(const Event &e)
{
    return Pad(Stamp(e.t), 9) + " " + Body(e);
}

std::string Timeline::Paint(const char *code, const std::string &text) const
{
    if (!color_ || code[0] == '\0')
        return text;
    return std::string("\033[") + code + "m" + text + "\033[0m";
}

void Timeline::Put(const std::string &text)
{
    if (share_ != nullptr)
        share_->Hide();
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
    if (share_ != nullptr)
        share_->Show();
}

void Timeline::Print(const Event &e)
{
    Put(Paint("2", Pad(Stamp(e.t), 9)) + " " + Paint(Color(e), Body(e)) + "\n");
}

void Timeline::Summary(int met, int missed, const std::string &missedList)
{
    std::string s = "expectations: " + std::to_string(met) + " met, " + std::to_string(missed) +
                    " missed";
    Put(Paint(missed == 0 ? "1;32" : "1;31", s) + "\n" + missedList);
}

void Timeline::Line(const std::string &text)
{
    Put(text + "\n");
}
