// The monitor's register table: a register block laid out as each CPU's
// kernel lays it out decodes to the call, its first three arguments and its
// result, a failure included; and the row of the CPU the test runs on (the
// host's, or PowerPC's under qemu-user) agrees with the system's own headers.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <linux/audit.h>
#include <string>
#include <sys/procfs.h>
#include <sys/syscall.h>
#include <vector>
#if defined(__powerpc__)
#include <asm/ptrace.h>
#endif

#include "sysregs.h"

namespace {

// A block of the CPU's size, every word distinct, with the given words set.
std::vector<unsigned char> Block(const SysCpu &cpu, const std::vector<std::pair<size_t, uint64_t>> &set)
{
    std::vector<unsigned char> b(cpu.words * cpu.wordSize);
    for (size_t i = 0; i < cpu.words; ++i) {
        uint64_t v = 0x1000 + i;
        for (const auto &s : set)
            if (s.first == i)
                v = s.second;
        if (cpu.wordSize == 4) {
            uint32_t w = static_cast<uint32_t>(v);
            std::memcpy(&b[i * 4], &w, 4);
        } else {
            std::memcpy(&b[i * 8], &v, 8);
        }
    }
    return b;
}

TEST(SysRegs, EachCpusBlockDecodes)
{
    // Word indexes as the kernels lay out NT_PRSTATUS: x86_64 user_regs_struct
    // (rax 10, rdx 12, rsi 13, rdi 14, orig_rax 15); PowerPC pt_regs (r0 0,
    // r3 3, r4 4, r5 5, orig_r3 34, ccr 38).
    const struct {
        uint32_t arch;
        std::vector<std::pair<size_t, uint64_t>> entry, exit;
        SysCall call;
        uint64_t args[3];
        long long ret;
    } cases[] = {
        {AUDIT_ARCH_X86_64, {{15, 0}, {14, 5}, {13, 0x7ffd12345678}, {12, 256}}, {{10, 200}},
         SysCall::Read, {5, 0x7ffd12345678, 256}, 200},
        {AUDIT_ARCH_X86_64, {{15, 1}, {14, 7}, {13, 0x1000}, {12, 256}}, {{10, ~uint64_t(0) - 10}},
         SysCall::Write, {7, 0x1000, 256}, -11},
        {AUDIT_ARCH_X86_64, {{15, 33}, {14, 3}, {13, 9}, {12, 0}}, {{10, 9}}, SysCall::Dup2, {3, 9, 0}, 9},
        {AUDIT_ARCH_PPC, {{0, 3}, {3, 5}, {34, 5}, {4, 0x7fff0000}, {5, 256}}, {{3, 56}, {38, 0x20000000}},
         SysCall::Read, {5, 0x7fff0000, 256}, 56},
        // A failure: CR0.SO set, r3 the errno (EAGAIN), not a count.
        {AUDIT_ARCH_PPC, {{0, 4}, {3, 6}, {34, 6}, {4, 0x10000}, {5, 256}}, {{3, 11}, {38, 0x10000000}},
         SysCall::Write, {6, 0x10000, 256}, -11},
        {AUDIT_ARCH_PPC, {{0, 316}, {34, 4}, {4, 8}, {5, 0}}, {{3, 8}, {38, 0}}, SysCall::Dup3, {4, 8, 0}, 8},
        {AUDIT_ARCH_PPC, {{0, 436}, {34, 3}, {4, 0xffffffff}, {5, 0}}, {{3, 0}, {38, 0}},
         SysCall::CloseRange, {3, 0xffffffff, 0}, 0},
    };
    for (const auto &c : cases) {
        const SysCpu *cpu = SysCpuByArch(c.arch);
        ASSERT_NE(cpu, nullptr) << c.arch;
        EXPECT_EQ(SysCpuByBlockSize(cpu->words * cpu->wordSize), cpu) << cpu->name;
        std::vector<unsigned char> entry = Block(*cpu, c.entry), exit = Block(*cpu, c.exit);
        SysEntryRegs e = SysEntryFrom(*cpu, entry.data());
        EXPECT_EQ(SysCallOf(*cpu, e.nr), c.call) << cpu->name << " " << e.nr;
        for (size_t i = 0; i < 3; ++i)
            EXPECT_EQ(e.args[i], c.args[i]) << cpu->name << " argument " << i;
        EXPECT_EQ(SysExitFrom(*cpu, exit.data()).ret, c.ret) << cpu->name;
    }
    EXPECT_EQ(SysCpuByArch(AUDIT_ARCH_ARMEB), nullptr);
}

// The row the monitor uses here, checked against this system's headers.
TEST(SysRegs, ThisCpusRowMatchesTheSystemHeaders)
{
#if defined(__x86_64__)
    const SysCpu *cpu = SysCpuByArch(AUDIT_ARCH_X86_64);
    ASSERT_NE(cpu, nullptr);
    EXPECT_EQ(cpu->nrReg, offsetof(struct user_regs_struct, orig_rax) / 8);
    EXPECT_EQ(cpu->argReg[0], offsetof(struct user_regs_struct, rdi) / 8);
    EXPECT_EQ(cpu->argReg[1], offsetof(struct user_regs_struct, rsi) / 8);
    EXPECT_EQ(cpu->argReg[2], offsetof(struct user_regs_struct, rdx) / 8);
    EXPECT_EQ(cpu->retReg, offsetof(struct user_regs_struct, rax) / 8);
#elif defined(__powerpc__) && !defined(__powerpc64__)
    const SysCpu *cpu = SysCpuByArch(AUDIT_ARCH_PPC);
    ASSERT_NE(cpu, nullptr);
    EXPECT_EQ(cpu->nrReg, static_cast<size_t>(PT_R0));
    EXPECT_EQ(cpu->argReg[0], static_cast<size_t>(PT_ORIG_R3));
    EXPECT_EQ(cpu->argReg[1], static_cast<size_t>(PT_R4));
    EXPECT_EQ(cpu->argReg[2], static_cast<size_t>(PT_R5));
    EXPECT_EQ(cpu->retReg, static_cast<size_t>(PT_R3));
    EXPECT_EQ(cpu->crReg, static_cast<size_t>(PT_CCR));
#else
    GTEST_SKIP() << "no row for this CPU";
    const SysCpu *cpu = nullptr;
#endif
    EXPECT_EQ(SysCpuByBlockSize(sizeof(elf_gregset_t)), cpu);
    const struct {
        long nr;
        SysCall call;
    } calls[] = {{SYS_read, SysCall::Read},   {SYS_write, SysCall::Write}, {SYS_close, SysCall::Close},
                 {SYS_dup2, SysCall::Dup2},   {SYS_dup3, SysCall::Dup3},
#ifdef SYS_close_range
                 {SYS_close_range, SysCall::CloseRange},
#endif
                 {SYS_openat, SysCall::Other}};
    for (const auto &c : calls)
        EXPECT_EQ(SysCallOf(*cpu, c.nr), c.call) << c.nr;
}

} // namespace
