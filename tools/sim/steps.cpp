// steps.cpp - carrying out the steps that act: starting the service, the
// button and the device's faults, configuration writes and missing
// segments, frames from the peers and answer rules.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/shm.h>

#include "crkeyemu.h"
#include "kvoruntime.h"
#include "names.h"
#include "runner.h"

bool Runner::EnsureStarted()
{
    if (service_.Started())
        return true;
    std::string error;
    std::string level = levelGiven_ ? levelArg_ : std::to_string(opt_.level);
    if (!service_.Start(opt_.service, noLevel_ ? nullptr : level.c_str(), &error)) {
        Note("cannot start kvogdbt: " + error, false);
        missed_.push_back("kvogdbt started: " + error);
        return false;
    }
    Note("kvogdbt started: pid " + std::to_string(service_.Pid()) + ", " +
         (noLevel_ ? std::string("no log level argument") : "log level " + level));
    return true;
}

// Faults and the end of a hold are set up in the emulation; they act when
// the service next reaches the device.
void Runner::DeviceSetup(const Step &s)
{
    static const CrKeyFault kFaults[] = {CrKeyFault::Open, CrKeyFault::SetPollTime,
                                         CrKeyFault::GetKeyState, CrKeyFault::Read};
    if (s.kind == StepKind::ReleaseAfter)
        CrKeyEmuReleaseAfterPolls(emu_, static_cast<unsigned>(s.value));
    else
        CrKeyEmuSetFault(emu_, kFaults[s.device], static_cast<int>(s.value));
    Note(s.text);
}

bool Runner::Device(const Step &s)
{
    bool ok = false;
    Event e;
    e.kind = EventKind::Device;
    switch (s.kind) {
    case StepKind::Press:
        ok = CrKeyEmuPress(emu_);
        e.detail = "pressed";
        break;
    case StepKind::Release:
        ok = CrKeyEmuRelease(emu_);
        e.detail = "released";
        break;
    default: {
        ok = CrKeyEmuSendByte(emu_, static_cast<uint8_t>(s.value));
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

void Runner::Set(const Step &s)
{
    for (const SegmentWrite &w : s.writes) {
        root_.Write(w);
        Note(s.text + ": " + SimRoot::Describe(w));
    }
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
        if (service_.Started()) {
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
    case StepKind::Wait: Pump(s.ms, [] { return false; }); break;
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
