// sequence.cpp - from the event record to the participants and messages
// of a sequence diagram.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "describe.h"
#include "diagram.h"
#include "names.h"

namespace {

// The guard button, the service, then its peers in a fixed order.
const char *const kFixedOrder[] = {"button", "kvogdbt", "kvosts", "kvopare", "kvoauth",
                                   "kvodisp", "kvoek",  "kvolog", "kvoftp"};
bool Numbered(const std::string &text)
{
    if (text.size() < 6 || text[5] != ',')
        return false;
    for (size_t i = 0; i < 5; ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    return true;
}

class Builder {
public:
    void Frame(double t, const std::string &from, const std::string &to, const ::Frame &f,
               const std::string &via)
    {
        SeqItem it;
        it.t = t;
        it.from = Index(from);
        it.to = Index(to);
        it.label = std::to_string(f.cid) + " " + CommandMeaning(f.cid) + via;
        it.detail = DescribeData(f);
        it.toService = to == "kvogdbt";
        seq_.items.push_back(it);
    }
    void Note(double t, const std::string &who, const std::string &text, bool missed = false)
    {
        SeqItem it;
        it.t = t;
        it.from = it.to = Index(who);
        it.label = text;
        it.missed = missed;
        seq_.items.push_back(it);
    }
    void Arrow(double t, const std::string &from, const std::string &to, const std::string &label)
    {
        SeqItem it;
        it.t = t;
        it.from = Index(from);
        it.to = Index(to);
        it.label = label;
        it.toService = true;
        seq_.items.push_back(it);
    }
    Sequence Done()
    {
        // Participants in the fixed order first, others as they appeared.
        std::vector<std::string> order;
        for (const char *name : kFixedOrder)
            for (const std::string &p : seen_)
                if (p == name)
                    order.push_back(p);
        for (const std::string &p : seen_)
            if (Position(order, p) < 0)
                order.push_back(p);
        for (SeqItem &it : seq_.items) {
            it.from = Position(order, seen_[static_cast<size_t>(it.from)]);
            it.to = Position(order, seen_[static_cast<size_t>(it.to)]);
        }
        seq_.participants = order;
        return seq_;
    }

private:
    static int Position(const std::vector<std::string> &v, const std::string &name)
    {
        for (size_t i = 0; i < v.size(); ++i)
            if (v[i] == name)
                return static_cast<int>(i);
        return -1;
    }
    int Index(const std::string &name)
    {
        int i = Position(seen_, name);
        if (i >= 0)
            return i;
        seen_.push_back(name);
        return static_cast<int>(seen_.size() - 1);
    }
    std::vector<std::string> seen_;
    Sequence seq_;
};

} // namespace

Sequence BuildSequence(const std::vector<Event> &events)
{
    Builder b;
    size_t n = 0;
    const PeerFifo *peers = PeerFifos(&n);
    for (const Event &e : events) {
        switch (e.kind) {
        case EventKind::ToPeer: {
            const PeerFifo &p = peers[e.peer];
            std::string owner = ModuleLabel(p.modId);
            std::string via = FindPeer(owner) == &p ? "" : " (" + std::string(p.fifo) + ")";
            b.Frame(e.t, "kvogdbt", owner, e.frame, via);
            break;
        }
        case EventKind::ToService:
            b.Frame(e.t, ModuleLabel(e.frame.mid), "kvogdbt", e.frame, "");
            break;
        case EventKind::Device:
            if (e.detail == "released")
                b.Note(e.t, "button", "released");
            else
                b.Arrow(e.t, "button", "kvogdbt", e.detail);
            break;
        case EventKind::Log:
            if (Numbered(e.text))
                b.Note(e.t, "kvogdbt", e.text);
            break;
        case EventKind::Check:
            if (!e.ok)
                b.Note(e.t, "kvogdbt", "MISSED " + e.text, true);
            break;
        case EventKind::Exit:
            b.Note(e.t, "kvogdbt", e.status > 128 ? "ended by signal " + std::to_string(e.status - 128)
                                                  : "exit status " + std::to_string(e.status));
            break;
        default:
            break;
        }
    }
    return b.Done();
}

bool WriteTextFile(const std::string &path, const std::string &text, std::string *error)
{
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size()) {
        *error = path + ": " + std::strerror(errno);
        if (f != nullptr)
            std::fclose(f);
        return false;
    }
    return std::fclose(f) == 0;
}
