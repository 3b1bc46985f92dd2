// target_test.cpp - what must hold on the controller's CPU (32-bit
// big-endian PowerPC, run here under qemu-user) as on the build machine:
// the parent-mode word that another module wrote natively into the OTHER
// segment is read natively wherever its one nonzero byte sits, C modules and
// the C++ runtime agree on the shared layouts, and the cross build really
// runs with the controller's ABI.
#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "gdbt.h"
#include "kvoroot.h"
#include "layout.h"
#include "logcapture.h"

namespace {

bool BigEndian() { return __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__; }

TEST(TargetAbi, CrossBuildRunsBigEndianIlp32)
{
    std::printf("target: %s-endian, %zu-bit pointers, timer_t %zu bytes, time_t %zu bytes, "
                "ProcInfo %zu bytes, emulator \"%s\"\n",
                BigEndian() ? "big" : "little", 8 * sizeof(void *), sizeof(timer_t), sizeof(time_t),
                sizeof(ProcInfo), KVO_TARGET_EMULATOR);
    RecordProperty("byte_order", BigEndian() ? "big-endian" : "little-endian");
    RecordProperty("pointer_bits", static_cast<int>(8 * sizeof(void *)));
    if (!KVO_UNDER_EMULATOR)
        return;
    // Otherwise a green cross run would prove nothing about the board.
    EXPECT_TRUE(BigEndian());
    EXPECT_EQ(sizeof(void *), 4u);
    EXPECT_EQ(sizeof(SelectProc), 4u);
    EXPECT_EQ(sizeof(timer_t), 4u);
}

TEST(TargetLayout, CModulesSeeTheRuntimesLayout)
{
#define KVO_LAYOUT_ROW(expr) {#expr, expr},
    const KvoLayoutFact cxx[] = {KVO_LAYOUT_FACTS(KVO_LAYOUT_ROW)};
#undef KVO_LAYOUT_ROW
    ASSERT_EQ(kvoLayoutCCount, std::size(cxx));
    for (size_t i = 0; i < std::size(cxx); i++)
        EXPECT_EQ(kvoLayoutC[i].value, cxx[i].value) << cxx[i].what;
}

// Each value has its nonzero bits in another byte of the word, so a reader
// that looks at one byte, or assumes an order, gets some of them wrong on
// one of the two byte orders.
struct WordCase {
    const char *name;
    int32_t word;
};
constexpr WordCase kWords[] = {
    {"Zero", 0},          {"One", 1},           {"SecondByte", 0x100}, {"ThirdByte", 0x10000},
    {"HighByte", 0x01000000}, {"MinusOne", -1}, {"IntMin", INT32_MIN},
};

// OTHER as another module leaves it: the word at byte 4 in this CPU's
// order, every other byte nonzero so that a reader at the wrong offset or
// with the wrong width notices.
std::array<unsigned char, KVO_OTHER_SIZE> OtherWith(int32_t word)
{
    std::array<unsigned char, KVO_OTHER_SIZE> other;
    other.fill(0xA5);
    std::memcpy(other.data() + KVO_OTHER_PARENT_MODE_OFF, &word, sizeof word);
    return other;
}

void PrintTo(const WordCase &c, std::ostream *os) { *os << c.name << " 0x" << std::hex << c.word; }

class ParentModeWord : public ::testing::TestWithParam<WordCase> {};

TEST_P(ParentModeWord, ReadNatively)
{
    auto other = OtherWith(GetParam().word);
    EXPECT_EQ(KvoOtherParentMode(other.data()), GetParam().word);
}

// A press goes to the parent module for any nonzero word, to the EK module
// for 0: the routing the controller's modules rely on.
TEST_P(ParentModeWord, RoutesThePress)
{
    KvoRoot root;
    ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_PARE) && root.MakeFifo(KVO_PATH_FIFO_EK));
    int pare = open(KvoPath(KVO_PATH_FIFO_PARE), O_RDONLY | O_NONBLOCK);
    int ek = open(KvoPath(KVO_PATH_FIFO_EK), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(pare, 0);
    ASSERT_GE(ek, 0);
    int dev[2];
    ASSERT_EQ(pipe(dev), 0);
    const unsigned char press = GDBT_EVENT_PRESS;
    ASSERT_EQ(write(dev[1], &press, 1), 1);

    std::vector<unsigned char> config(KVO_CONFIG_SIZE, 0); // no hold timing
    auto other = OtherWith(GetParam().word);
    ProcInfo info{};
    info.pConfigData = config.data();
    info.pOtherData = other.data();
    info.iIoReadDes[0] = dev[0];
    info.iSelectDes = dev[0];
    LogCapture log;
    EXPECT_EQ(GDBTReadFunc(&info), 0) << log.Dump();

    char frame[FIFO_MSG_SIZE + 1];
    const bool parent = GetParam().word != 0;
    ssize_t got = read(parent ? pare : ek, frame, sizeof frame);
    ASSERT_EQ(got, FIFO_MSG_SIZE) << log.Dump();
    EXPECT_EQ(std::string(frame, 6), "052356");
    EXPECT_LE(read(parent ? ek : pare, frame, sizeof frame), 0) << "the press went to both modules";
    for (int fd : {pare, ek, dev[0], dev[1]})
        close(fd);
}

INSTANTIATE_TEST_SUITE_P(Values, ParentModeWord, ::testing::ValuesIn(kWords),
                         [](const auto &param) { return std::string(param.param.name); });

} // namespace
