// svg.cpp - drawing a sequence as a self-contained SVG picture.
#include <algorithm>
#include <cstdlib>
#include <vector>
#include <cstdio>

#include "diagram.h"

namespace {

constexpr int kLeft = 78;      // room for the time column
constexpr int kTop = 16;
constexpr int kBoxH = 30;
constexpr int kRowH = 40;
constexpr int kNoteH = 36;
constexpr double kCharW = 7.2;      // 12 px monospace
constexpr double kSmallCharW = 6.6; // 11 px
constexpr double kBoxW = 116;
#define HALO "stroke=\"white\" stroke-width=\"3\" paint-order=\"stroke\""
constexpr double kMinGap = 136;
constexpr const char *kOutColor = "#00707a"; // frames from the service
constexpr const char *kInColor = "#b35900";  // frames and presses to it
constexpr size_t kNoteChars = 72;            // a longer note is wrapped
constexpr int kNoteLineH = 14;

std::string Marker(const char *id, const char *color)
{
    return std::string("<marker id=\"") + id +
           "\" viewBox=\"0 0 10 10\" refX=\"10\" refY=\"5\" markerWidth=\"8\" "
           "markerHeight=\"8\" orient=\"auto\"><path d=\"M0,0 L10,5 L0,10 z\" fill=\"" +
           color + "\"/></marker>";
}

std::string Esc(const std::string &s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// Lines of at most kNoteChars, broken after a blank or a comma where
// there is one.
std::vector<std::string> Wrap(const std::string &text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (text.size() - at > kNoteChars) {
        size_t cut = text.find_last_of(" ,", at + kNoteChars - 1);
        cut = cut == std::string::npos || cut <= at ? at + kNoteChars : cut + 1;
        lines.push_back(text.substr(at, cut - at));
        at = cut;
    }
    lines.push_back(text.substr(at));
    return lines;
}

std::string Num(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

class Svg {
public:
    explicit Svg(const Sequence &seq) : seq_(seq), x_(seq.participants.size(), 0.0)
    {
        Layout();
    }
    std::string Draw()
    {
        double y = kTop + kBoxH + 26;
        for (const SeqItem &it : seq_.items)
            y = it.from == it.to ? Note(it, y) : Arrow(it, y);
        double bottom = y + 6;
        std::string lifelines;
        for (size_t i = 0; i < seq_.participants.size(); ++i) {
            lifelines += Line(X(i), kTop + kBoxH, X(i), bottom, "#999", " stroke-dasharray=\"4 4\"");
            Box(i, kTop);
            Box(i, bottom);
        }
        double w = (x_.empty() ? kLeft : x_.back()) + kBoxW / 2 + 20;
        double h = bottom + kBoxH + kTop;
        return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(w) + "\" height=\"" +
               Num(h) + "\" viewBox=\"0 0 " + Num(w) + " " + Num(h) +
               "\" font-family=\"DejaVu Sans Mono, Menlo, Consolas, monospace\" font-size=\"12\">\n"
               "<defs>" + Marker("out", kOutColor) + Marker("in", kInColor) + "</defs>\n"
               "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n" +
               lifelines + body_ + "</svg>\n";
    }

private:
    double X(size_t i) const { return x_[i]; }

    // Each gap between neighbouring lifelines is wide enough for the
    // labels of the arrows that span it; short spans are settled first.
    void Layout()
    {
        size_t n = x_.size();
        std::vector<double> gap(n > 0 ? n - 1 : 0, kMinGap);
        std::vector<const SeqItem *> arrows;
        for (const SeqItem &it : seq_.items)
            if (it.from != it.to)
                arrows.push_back(&it);
        std::stable_sort(arrows.begin(), arrows.end(), [](const SeqItem *a, const SeqItem *b) {
            return std::abs(a->from - a->to) < std::abs(b->from - b->to);
        });
        for (const SeqItem *it : arrows) {
            size_t a = static_cast<size_t>(std::min(it->from, it->to));
            size_t b = static_cast<size_t>(std::max(it->from, it->to));
            double need = std::max(it->label.size() * kCharW, it->detail.size() * kSmallCharW) + 24;
            double span = 0;
            for (size_t k = a; k < b; ++k)
                span += gap[k];
            for (size_t k = a; span < need && k < b; ++k)
                gap[k] += (need - span) / static_cast<double>(b - a);
        }
        for (size_t i = 0; i < n; ++i)
            x_[i] = i == 0 ? kLeft + kBoxW / 2 : x_[i - 1] + gap[i - 1];
    }

    static std::string Line(double x1, double y1, double x2, double y2, const char *color,
                            const char *extra = "")
    {
        return "<line x1=\"" + Num(x1) + "\" y1=\"" + Num(y1) + "\" x2=\"" + Num(x2) +
               "\" y2=\"" + Num(y2) + "\" stroke=\"" + color + "\"" + extra + "/>\n";
    }
    void Text(double x, double y, const std::string &s, const char *attrs)
    {
        body_ += "<text x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" " + attrs + ">" + Esc(s) +
                 "</text>\n";
    }
    void Box(size_t i, double y)
    {
        double w = kBoxW;
        body_ += "<rect x=\"" + Num(X(i) - w / 2) + "\" y=\"" + Num(y) + "\" width=\"" + Num(w) +
                 "\" height=\"" + Num(kBoxH) +
                 "\" rx=\"5\" fill=\"#eef3fb\" stroke=\"#4a6fa5\"/>\n";
        const std::string &name = seq_.participants[i];
        Text(X(i), y + 19, name == "button" ? "guard button" : name,
             "text-anchor=\"middle\" font-weight=\"bold\"");
    }
    void Time(double t, double y)
    {
        char text[32];
        std::snprintf(text, sizeof text, "+%.3fs", t);
        Text(6, y, text, "fill=\"#888\" font-size=\"11\"");
    }
    double Arrow(const SeqItem &it, double y)
    {
        double x1 = X(static_cast<size_t>(it.from)), x2 = X(static_cast<size_t>(it.to));
        const char *color = it.toService ? kInColor : kOutColor;
        std::string head = std::string(" stroke-width=\"1.5\" marker-end=\"url(#") +
                           (it.toService ? "in" : "out") + ")\"";
        double ly = y + (it.detail.empty() ? 14 : 0);
        double mid = (x1 + x2) / 2;
        // A white halo keeps labels readable where they cross a lifeline.
        Text(mid, ly, it.label, "text-anchor=\"middle\" " HALO);
        if (!it.detail.empty())
            Text(mid, y + 14, it.detail,
                 "text-anchor=\"middle\" fill=\"#555\" font-size=\"11\" " HALO);
        body_ += Line(x1, y + 20, x2, y + 20, color, head.c_str());
        Time(it.t, y + 24);
        return y + kRowH;
    }
    // A note wrapped to lines of kNoteChars, its whole text also the
    // tooltip; a missed expectation in red.
    double Note(const SeqItem &it, double y)
    {
        std::vector<std::string> lines = Wrap(it.label);
        size_t longest = 0;
        for (const std::string &l : lines)
            longest = std::max(longest, l.size());
        double x = X(static_cast<size_t>(it.from));
        double w = longest * kSmallCharW + 16;
        double h = 20 + kNoteLineH * (lines.size() - 1.0);
        x = std::max(x, kLeft + w / 2); // a wide note stays clear of the time column
        const char *colors = it.missed ? "#fde2e2\" stroke=\"#c62828" : "#fff8d0\" stroke=\"#c9b458";
        body_ += "<g><title>" + Esc(it.label) + "</title>\n<rect x=\"" + Num(x - w / 2) +
                 "\" y=\"" + Num(y) + "\" width=\"" + Num(w) + "\" height=\"" + Num(h) +
                 "\" fill=\"" + colors + "\"/>\n";
        for (size_t i = 0; i < lines.size(); ++i)
            Text(x, y + 14 + kNoteLineH * static_cast<double>(i), lines[i],
                 it.missed ? "text-anchor=\"middle\" font-size=\"11\" fill=\"#c62828\""
                           : "text-anchor=\"middle\" font-size=\"11\"");
        body_ += "</g>\n";
        Time(it.t, y + 14);
        return y + kNoteH + h - 20;
    }

    const Sequence &seq_;
    std::vector<double> x_; // lifeline of each participant
    std::string body_;
};

} // namespace

std::string SequenceSvg(const Sequence &seq)
{
    return Svg(seq).Draw();
}
