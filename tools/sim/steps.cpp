// steps.cpp - carrying out the steps that act: starting the service, the
// button and the device's faults, configuration writes and missing
// segments, frames from the peers and answer rules.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/shm.h>

#include "crkeyemu.h"
#include "kvoruntime.h"
#include "names.h"
#include "runner.h"

namespace {

// "CONFIG[27648] = 31 ('1')".
std::string Describe(const SegmentWrite &w)
{
    std::string s = w.segment == 'c' ? "CONFIG[" : "OTHER[";
    s += std::to_string(w.offset) + "] =";
    for (uint8_t b : w.bytes) {
        char hex[8];
        std::snprintf(hex, sizeof hex, " %02x", b);
        s += hex;
    }
    if (w.bytes.size() == 1 && w.bytes[0] >= 0x20 && w.bytes[0] < 0x7f)
        s += std::string(" ('") + static_cast<char>(w.bytes[0]) + "')";
    return s;
}

} // namespace

bool Runner::EnsureStarted()
{
    if (board_->Process().Started())
        return true;
    std::string error;
    std::string level = levelGiven_ ? levelArg_ : std::to_string(opt_.level);
    kvoboard::Launch launch;
    launch.service = opt_.service;
    launch.level = noLevel_ ? std::nullopt : std::optional<std::string>(level);
    launch.log = kvoboard::LogTo::Fifo;
    // A standing board stops its service in order at Ctrl-C, which must
    // therefore reach kvosim alone.
    launch.asModule = !opt_.standing;
    launch.ownGroup = opt_.standing;
    if (!board_->Start(launch, &error)) {
        Note("cannot start kvogdbt: " + error, false);
        missed_.push_back("kvogdbt started: " + error);
        return false;
    }
    std::string cpu = board_->Emulator().empty() ? "this machine's CPU" : "PowerPC under " + board_->Emulator();
    Note("kvogdbt started: pid " + std::to_string(board_->Pid()) + ", " +
         (noLevel_ ? std::string("no log level argument") : "log level " + level) + ", " + cpu);
    return true;
}

// Faults and the end of a hold are set up in the emulation; they act when
// the service next reaches the device.
void Runner::DeviceSetup(const Step &s)
{
    static const CrKeyFault kFaults[] = {CrKeyFault::Open, CrKeyFault::SetPollTime,
                                         CrKeyFault::GetKeyState, CrKeyFault::Read};
    if (s.kind == StepKind::ReleaseAfter)
        CrKeyEmuReleaseAfterPolls(board_->Device(), static_cast<unsigned>(s.value));
    else
        CrKeyEmuSetFault(board_->Device(), kFaults[s.device], static_cast<int>(s.value));
    Note(s.text);
}

bool Runner::Device(const Step &s)
{
    bool ok = false;
    Event e;
    e.kind = EventKind::Device;
    switch (s.kind) {
    case StepKind::Press:
        ok = CrKeyEmuPress(board_->Device());
        e.detail = "pressed";
        break;
    case StepKind::Release:
        ok = CrKeyEmuRelease(board_->Device());
        e.detail = "released";
        break;
    default: {
        ok = CrKeyEmuSendByte(board_->Device(), static_cast<uint8_t>(s.value));
        char text[32];
        std::snprintf(text, sizeof text, "event byte 0x%02x", static_cast<unsigned>(s.value));
        e.detail = text;
        break;
    }
    }
    // A release changes the key state only; the device sends no byte.
    e.text = (s.kind == StepKind::Release ? "button             " : "button  -> kvogdbt  ") +
             e.detail;
    Record(e);
    if (!ok) {
        Note("the emulated button refused: " + s.text, false);
        missed_.push_back(s.where + ": " + s.text + ": refused by the emulation");
    }
    return true;
}

bool Runner::SendStep(const Step &s)
{
    Frame f;
    f.mid = s.module;
    f.cid = s.command;
    BuildData(s.data, &f.data);
    if (!SendFrame(f, false))
        missed_.push_back(s.where + ": " + s.text + ": not delivered");
    return true;
}

// A word goes in the service's byte order (a PowerPC service reads it
// big-endian); the bytes as written.
SegmentWrite Runner::Write(SegmentWrite w)
{
    if (w.word && board_->SwapsWords())
        std::reverse(w.bytes.begin(), w.bytes.end());
    board_->Set(w.segment, w.offset, w.bytes.data(), w.bytes.size());
    return w;
}

void Runner::Set(const Step &s)
{
    for (const SegmentWrite &w : s.writes)
        Note(s.text + ": " + Describe(Write(w)));
}

// The key stays in the key file; only the segment behind it goes, as when
// its owner has not made it yet.
void Runner::Missing(const Step &s)
{
    int id = shmget(ComShmKey(static_cast<int>(s.value)), 0, 0);
    if (id >= 0 && shmctl(id, IPC_RMID, nullptr) == 0) {
        Note(s.text);
        return;
    }
    std::string why = s.text + ": " + std::strerror(errno);
    Note(why, false);
    missed_.push_back(s.where + ": " + why);
}

// A hold or a wait.  One that outlasts opt_.quietWaitMs says so when it
// starts and every ten seconds, so that a long run is never silent.
void Runner::Idle(const Step &s)
{
    constexpr int kProgressMs = 10000;
    auto never = [] { return false; };
    if (s.ms <= opt_.quietWaitMs) {
        Pump(s.ms, never);
        return;
    }
    auto seconds = [](int ms) {
        char text[32];
        std::snprintf(text, sizeof text, "%gs", ms / 1000.0);
        return std::string(text);
    };
    Note(s.text + ": waiting " + seconds(s.ms));
    for (int left = s.ms; left > 0 && !Interrupted();) {
        int slice = left < kProgressMs ? left : kProgressMs;
        Pump(slice, never);
        left -= slice;
        if (left > 0 && !Interrupted())
            Note(s.text + ": " + seconds(left) + " left");
    }
}

void Runner::AnswerRule(const Step &s)
{
    if (s.reply < 0)
        answers_.erase(s.command);
    else
        answers_[s.command] = Reply{s.reply, s.data};
    Note(s.text);
}

bool Runner::Execute(const Step &s)
{
    switch (s.kind) {
    case StepKind::Start:
        return EnsureStarted();
    case StepKind::Level:
        if (board_->Process().Started()) {
            Check(false, s.text + "  (" + s.where + ")", "the service runs already");
        } else {
            levelGiven_ = true;
            noLevel_ = s.value < 0;
            levelArg_ = s.arg;
        }
        return true;
    case StepKind::Set:
        Set(s);
        return true;
    case StepKind::Missing:
        Missing(s);
        return true;
    case StepKind::Fault:
    case StepKind::ReleaseAfter:
        DeviceSetup(s);
        return true;
    case StepKind::Answer:
        AnswerRule(s);
        return true;
    default:
        break;
    }
    if (!EnsureStarted())
        return false;
    switch (s.kind) {
    case StepKind::Press:
    case StepKind::Release:
    case StepKind::Byte: return Device(s);
    case StepKind::Send: return SendStep(s);
    case StepKind::Hold:
    case StepKind::Wait: Idle(s); break;
    case StepKind::ExpectFrame: ExpectFrame(s); break;
    case StepKind::ExpectNone:
    case StepKind::ExpectNoLog: ExpectNone(s); break;
    case StepKind::ExpectLog: ExpectLog(s); break;
    case StepKind::ExpectExit: ExpectExit(s); break;
    case StepKind::ExpectCount: ExpectCount(s); break;
    default: break;
    }
    return !Interrupted();
}
