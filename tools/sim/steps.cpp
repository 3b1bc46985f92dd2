// steps.cpp - carrying out the steps that act: starting the service, the
// button, configuration writes, frames from the peers and answer rules.
#include <cstdio>

#include "crkeyemu.h"
#include "names.h"
#include "runner.h"

bool Runner::EnsureStarted()
{
    if (service_.Started())
        return true;
    std::string error;
    if (!service_.Start(opt_.service, opt_.level, &error)) {
        Note("cannot start kvogdbt: " + error, false);
        missed_.push_back("kvogdbt started: " + error);
        return false;
    }
    Note("kvogdbt started: pid " + std::to_string(service_.Pid()) + ", log level " +
         std::to_string(opt_.level));
    return true;
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
        if (service_.Started())
            Check(false, s.text + "  (" + s.where + ")", "the service runs already");
        else
            opt_.level = static_cast<int>(s.value);
        return true;
    case StepKind::Set:
        Set(s);
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
    case StepKind::ExpectNone: ExpectNone(s); break;
    case StepKind::ExpectLog: ExpectLog(s); break;
    case StepKind::ExpectExit: ExpectExit(s); break;
    default: break;
    }
    return !Interrupted();
}
