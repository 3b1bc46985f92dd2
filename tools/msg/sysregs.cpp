// sysregs.cpp - the per-CPU table of system call numbers and register
// places.  Word indexes are those of the kernel's NT_PRSTATUS register set
// (user_regs_struct on x86_64, pt_regs on PowerPC).
#include "sysregs.h"

#include <array>
#include <cstring>
#include <linux/audit.h>

namespace {

constexpr std::array<SysCpu, 2> kCpus = {{
    // rdi rsi rdx carry the arguments, orig_rax the number, rax the result.
    {"x86_64", AUDIT_ARCH_X86_64, 8, 27, 15, {14, 13, 12}, 10, SysErrorRule::NegativeReturn, 0, 0,
     {0, 1, 3, 33, 292, 436}},
    // 32-bit PowerPC: r0 the number, orig_r3 r4 r5 the arguments (r3 itself
    // becomes the result), ccr's CR0.SO the failure flag with r3 the errno.
    {"ppc", AUDIT_ARCH_PPC, 4, 48, 0, {34, 4, 5}, 3, SysErrorRule::SummaryOverflow, 38, 0x10000000,
     {3, 4, 6, 63, 316, 436}},
}};

uint64_t Word(const SysCpu &cpu, const void *block, size_t index)
{
    const unsigned char *p = static_cast<const unsigned char *>(block) + index * cpu.wordSize;
    if (cpu.wordSize == 4) {
        uint32_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

long long Signed(const SysCpu &cpu, uint64_t v)
{
    if (cpu.wordSize == 4)
        return static_cast<int32_t>(static_cast<uint32_t>(v));
    return static_cast<long long>(v);
}

} // namespace

const SysCpu *SysCpus(size_t *count)
{
    *count = kCpus.size();
    return kCpus.data();
}

const SysCpu *SysCpuByArch(uint32_t auditArch)
{
    for (const SysCpu &c : kCpus)
        if (c.auditArch == auditArch)
            return &c;
    return nullptr;
}

const SysCpu *SysCpuByBlockSize(size_t bytes)
{
    for (const SysCpu &c : kCpus)
        if (c.wordSize * c.words == bytes)
            return &c;
    return nullptr;
}

SysCall SysCallOf(const SysCpu &cpu, long nr)
{
    const auto &n = cpu.nr;
    if (nr == n.read)
        return SysCall::Read;
    if (nr == n.write)
        return SysCall::Write;
    if (nr == n.close)
        return SysCall::Close;
    if (nr == n.dup2)
        return SysCall::Dup2;
    if (nr == n.dup3)
        return SysCall::Dup3;
    if (nr == n.closeRange)
        return SysCall::CloseRange;
    return SysCall::Other;
}

SysEntryRegs SysEntryFrom(const SysCpu &cpu, const void *block)
{
    SysEntryRegs e{};
    e.nr = static_cast<long>(Signed(cpu, Word(cpu, block, cpu.nrReg)));
    for (size_t i = 0; i < 3; ++i)
        e.args[i] = Word(cpu, block, cpu.argReg[i]);
    return e;
}

SysExitRegs SysExitFrom(const SysCpu &cpu, const void *block)
{
    uint64_t r = Word(cpu, block, cpu.retReg);
    if (cpu.errorRule == SysErrorRule::SummaryOverflow) {
        bool failed = (Word(cpu, block, cpu.crReg) & cpu.soMask) != 0;
        return {failed ? -static_cast<long long>(r) : static_cast<long long>(r)};
    }
    return {Signed(cpu, r)};
}
