// The monitor's register table: a block laid out as each CPU's kernel lays it out decodes to the
// call, three arguments and the result (a failure too); the row of the CPU this runs on (the
// host's, or PowerPC's under qemu-user) agrees with the system's headers.
#include <gtest/gtest.h>

#include <cstring>
#include <linux/audit.h>
#include <map>
#include <sys/procfs.h>
#include <sys/syscall.h>
#if defined(__powerpc__)
#include <asm/ptrace.h>
#endif

#include "sysregs.h"

namespace {

TEST(SysRegs, EachCpusBlockDecodes)
{
    // Words of NT_PRSTATUS: x86_64 rax 10, rdx 12, rsi 13, rdi 14, orig_rax 15; PowerPC r0 0,
    // r3 3, r4 4, r5 5, orig_r3 34, ccr 38 (a failure: CR0.SO set, r3 the errno).  Others distinct.
    const struct {
        uint32_t arch;
        std::map<size_t, uint64_t> entry, exit;
        SysCall call;
        uint64_t args[3];
        long long ret;
    } cases[] = {
        {AUDIT_ARCH_X86_64, {{15, 0}, {14, 5}, {13, 0x7ffd12345678}, {12, 256}}, {{10, 200}}, SysCall::Read,
         {5, 0x7ffd12345678, 256}, 200},
        {AUDIT_ARCH_X86_64, {{15, 1}, {14, 7}, {13, 0x1000}, {12, 256}}, {{10, ~uint64_t(0) - 10}}, SysCall::Write,
         {7, 0x1000, 256}, -11},
        {AUDIT_ARCH_PPC, {{0, 3}, {3, 5}, {34, 5}, {4, 0x7fff0000}, {5, 256}}, {{3, 56}, {38, 0x20000000}},
         SysCall::Read, {5, 0x7fff0000, 256}, 56},
        {AUDIT_ARCH_PPC, {{0, 4}, {3, 6}, {34, 6}, {4, 0x10000}, {5, 256}}, {{3, 11}, {38, 0x10000000}},
         SysCall::Write, {6, 0x10000, 256}, -11},
        {AUDIT_ARCH_PPC, {{0, 436}, {34, 3}, {4, 0xffffffff}, {5, 0}}, {{3, 0}, {38, 0}}, SysCall::CloseRange,
         {3, 0xffffffff, 0}, 0},
    };
    for (const auto &c : cases) {
        const SysCpu *cpu = SysCpuByArch(c.arch);
        ASSERT_NE(nullptr, cpu);
        EXPECT_EQ(cpu, SysCpuByBlockSize(cpu->words * cpu->wordSize));
        std::vector<unsigned char> block[2];
        for (int b = 0; b < 2; ++b)
            for (size_t i = 0; i < cpu->words; ++i) {
                uint64_t v = (b == 0 ? c.entry : c.exit).count(i) ? (b == 0 ? c.entry : c.exit).at(i) : 0x1000 + i;
                uint32_t w = static_cast<uint32_t>(v);
                const auto *bytes = cpu->wordSize == 4 ? reinterpret_cast<unsigned char *>(&w)
                                                       : reinterpret_cast<unsigned char *>(&v);
                block[b].insert(block[b].end(), bytes, bytes + cpu->wordSize);
            }
        SysEntryRegs e = SysEntryFrom(*cpu, block[0].data());
        EXPECT_EQ(c.call, SysCallOf(*cpu, e.nr)) << cpu->name << " " << e.nr;
        EXPECT_TRUE(e.args[0] == c.args[0] && e.args[1] == c.args[1] && e.args[2] == c.args[2]) << cpu->name;
        EXPECT_EQ(c.ret, SysExitFrom(*cpu, block[1].data()).ret) << cpu->name;
    }
    EXPECT_EQ(nullptr, SysCpuByArch(AUDIT_ARCH_ARMEB));
}

TEST(SysRegs, ThisCpusRowMatchesTheSystemHeaders)
{
#if defined(__x86_64__)
    const SysCpu *cpu = SysCpuByArch(AUDIT_ARCH_X86_64);
    ASSERT_NE(nullptr, cpu);
    const size_t want[] = {offsetof(user_regs_struct, orig_rax) / 8, offsetof(user_regs_struct, rdi) / 8,
                           offsetof(user_regs_struct, rsi) / 8, offsetof(user_regs_struct, rdx) / 8,
                           offsetof(user_regs_struct, rax) / 8, cpu->crReg};
#elif defined(__powerpc__) && !defined(__powerpc64__)
    const SysCpu *cpu = SysCpuByArch(AUDIT_ARCH_PPC);
    ASSERT_NE(nullptr, cpu);
    const size_t want[] = {PT_R0, PT_ORIG_R3, PT_R4, PT_R5, PT_R3, PT_CCR};
#else
    GTEST_SKIP() << "no row for this CPU";
    const SysCpu *cpu = nullptr;
    const size_t want[6] = {};
#endif
    const size_t got[] = {cpu->nrReg, cpu->argReg[0], cpu->argReg[1], cpu->argReg[2], cpu->retReg, cpu->crReg};
    EXPECT_EQ(std::vector<size_t>(want, want + 6), std::vector<size_t>(got, got + 6));
    EXPECT_EQ(cpu, SysCpuByBlockSize(sizeof(elf_gregset_t)));
    const std::pair<long, SysCall> calls[] = {{SYS_read, SysCall::Read}, {SYS_write, SysCall::Write},
                                              {SYS_close, SysCall::Close}, {SYS_dup2, SysCall::Dup2},
                                              {SYS_dup3, SysCall::Dup3}, {SYS_openat, SysCall::Other}};
    for (const auto &c : calls)
        EXPECT_EQ(c.second, SysCallOf(*cpu, c.first)) << c.first;
}

} // namespace
