// lineparser.cpp - the words every step is made of: numbers, times,
// modules, commands, FIFOs and data items.
#include "lineparser.h"

#include "commands.h"
#include "names.h"
#include "numbers.h"

bool LineParser::Number(long min, long max, const std::string &what, long *v)
{
    if (AtEnd() || t_[i_].quoted || !ParseLong(t_[i_].text, min, max, v))
        return Fail(what);
    ++i_;
    return true;
}

bool LineParser::Duration(int *ms)
{
    if (AtEnd() || t_[i_].quoted || !ParseDuration(t_[i_].text, ms))
        return Fail("a time with a unit (3s, 1.5s, 250ms)");
    ++i_;
    return true;
}

bool LineParser::Module(int *id)
{
    if (AtEnd() || t_[i_].quoted || !ParseModule(t_[i_].text, id))
        return Fail("a module name or id (sts, pare, kvoauth, 80, ...)");
    ++i_;
    return true;
}

bool LineParser::Command(int *id)
{
    if (AtEnd() || t_[i_].quoted || !ParseCommand(t_[i_].text, id))
        return Fail("a command number or name (454, terminate, ...)");
    ++i_;
    return true;
}

bool LineParser::Peer(int *index)
{
    const PeerFifo *p = AtEnd() || t_[i_].quoted ? nullptr : FindPeer(t_[i_].text);
    if (p == nullptr)
        return Fail("a FIFO or peer (FifoSts, sts, pare, auth, disp, ek, log, stsp, any)");
    ++i_;
    *index = PeerIndex(p);
    return true;
}

bool LineParser::HexItem(DataPatch *p)
{
    size_t start = i_;
    while (!AtEnd() && !t_[i_].quoted && ParseHexBytes(t_[i_].text, &p->bytes))
        ++i_;
    return i_ > start || Fail("hex bytes such as 01 or 0a0b");
}

// "TEXT", text "TEXT", hex HEX.., state N, at N.
bool LineParser::DataItem(std::vector<DataPatch> *data, size_t *offset)
{
    long v = 0;
    DataPatch p;
    p.offset = *offset;
    if (!AtEnd() && t_[i_].quoted) {
        const std::string &s = Take();
        p.bytes.assign(s.begin(), s.end());
    } else if (Word("text")) {
        if (AtEnd() || !t_[i_].quoted)
            return Fail("a quoted text");
        const std::string &s = Take();
        p.bytes.assign(s.begin(), s.end());
    } else if (Word("hex")) {
        if (!HexItem(&p))
            return false;
    } else if (Word("state")) {
        if (!Number(0, 255, "a loop state 0 to 255", &v))
            return false;
        p.offset = 2; // the loop state's byte of command 410
        p.bytes.push_back(static_cast<uint8_t>(v));
    } else if (Word("at")) {
        if (!Number(0, FIFO_MSG_DATA_SIZE - 1, "a data offset 0 to 249", &v))
            return false;
        *offset = static_cast<size_t>(v);
        return true;
    } else {
        return Fail("data (\"text\", text \"..\", hex 01 02, state N, at N)");
    }
    if (p.offset + p.bytes.size() > FIFO_MSG_DATA_SIZE)
        return Fail("data that fits the 250 bytes of a frame");
    *offset = p.offset + p.bytes.size();
    data->push_back(p);
    return true;
}

bool LineParser::DataItems(std::vector<DataPatch> *data, bool stopAtOptions)
{
    size_t offset = 0;
    while (!AtEnd()) {
        if (stopAtOptions && (IsWord("within") || IsWord("from")))
            return true;
        if (!DataItem(data, &offset))
            return false;
    }
    return true;
}
