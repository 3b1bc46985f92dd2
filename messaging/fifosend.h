// fifosend.h - what the frame senders of the messaging layer share: the
// frame builder, the id checks, the three-attempt send and the traces that
// name their place.  Private to the messaging sources.
#pragma once

#include "kvomessaging.h"

namespace kvo {

// Source name in the traces that name their place ("start of function ,%s,%d,@%s\n").
constexpr const char kFifoSrcName[] = "..\\src\\qnosfifo";

// "start of function ,..\src\qnosfifo,<place>,@<func>\n" and its "end of"
// twin.  place: a fixed number of the log text, not a line of ours.
void FifoTraceStart(int priority, int place, const char *func);
void FifoTraceEnd(int priority, int place, const char *func);

// True when v fits a three-digit field of the frame.
constexpr bool FifoIdFits(int v) { return v >= 0 && v <= FIFO_MSG_ID_MAX; }

// Checks the sender's module id and the command id; a misfit is logged once
// (priority 6) and nothing may be sent.
bool FifoIdsCheck(const char *fifoname, int mid, int cid);

// Checks a three-digit value that a report puts into its data bytes; a misfit
// is logged once (priority 6) and the report is not sent.
bool FifoDataIdCheck(const char *fifoname, int cid, int value);

// Writes v (0 to 999) as three ASCII digits, "%03d", without a terminator.
void FifoPutId(char *dst, int v);

// Zero-filled frame: ids at offsets 0 and 3, the 250 data bytes at 6.
void FifoFrameBuild(FifoMsg *frame, int mid, int cid, const char *data);

// Up to three attempts to append the frame to the FIFO at fifoname.  All
// waits (for a reader, for room) share one budget of waitMs from the call;
// with 0, or once it is spent, each attempt tries once without waiting.
// 0 when an attempt delivered the whole frame, -1 otherwise.
int FifoFrameSend(const char *fifoname, const FifoMsg *frame, int waitMs);

} // namespace kvo
