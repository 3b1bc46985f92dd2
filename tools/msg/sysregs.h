// sysregs.h - the system calls the monitor follows, per CPU: their numbers,
// and where a stopped process's register block (the kernel's NT_PRSTATUS
// set) keeps the call number, its arguments and its result.  The monitor
// reads calls through the kernel's own syscall information where it has it
// (Linux 5.3 on); this table is what older kernels leave it with, and it
// also names the numbers of each CPU for either way.
#pragma once

#include <cstddef>
#include <cstdint>

// The calls that matter to the monitor: frames pass through read and write;
// close, dup2, dup3 and close_range end what a descriptor number meant.
enum class SysCall { Other, Read, Write, Close, Dup2, Dup3, CloseRange };

enum class SysErrorRule {
    NegativeReturn, // -4095..-1 in the result register is -errno
    SummaryOverflow // PowerPC: CR0.SO set means the result register is errno
};

struct SysCpu {
    const char *name;   // "x86_64"
    uint32_t auditArch; // as PTRACE_GET_SYSCALL_INFO reports the process's CPU
    size_t wordSize;    // bytes per register in the block
    size_t words;       // registers in the block
    size_t nrReg;       // the call number at entry
    size_t argReg[3];   // the first three arguments at entry
    size_t retReg;      // the result at exit
    SysErrorRule errorRule;
    size_t crReg;       // the condition register (SummaryOverflow only)
    uint64_t soMask;    // CR0.SO within it
    struct {
        long read, write, close, dup2, dup3, closeRange;
    } nr;
};

struct SysEntryRegs {
    long nr;
    uint64_t args[3];
};

struct SysExitRegs {
    long long ret; // the count or descriptor; -errno on failure
};

// Every CPU of the table, for the tests.
const SysCpu *SysCpus(size_t *count);
// By the audit architecture number; nullptr for a CPU not in the table.
const SysCpu *SysCpuByArch(uint32_t auditArch);
// By the size of a register block as PTRACE_GETREGSET returned it.
const SysCpu *SysCpuByBlockSize(size_t bytes);
SysCall SysCallOf(const SysCpu &cpu, long nr);
// The block is in the tracer's own byte order, as the kernel hands it over.
SysEntryRegs SysEntryFrom(const SysCpu &cpu, const void *block);
SysExitRegs SysExitFrom(const SysCpu &cpu, const void *block);
