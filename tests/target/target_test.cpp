// What must hold on the controller's CPU (32-bit big-endian PowerPC, under qemu-user)
// as here: the controller's ABI, C and C++ agree on the shared layouts, and the
// parent-mode word in OTHER is read natively wherever its nonzero bits sit.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

#include "gdbt.h"
#include "kvoroot.h"
#include "layout.h"

namespace {

TEST(Target, CrossBuildRunsBigEndianIlp32AndCAgreesOnLayouts)
{
    const bool big = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
    std::printf("target: %s-endian, %zu-bit pointers, ProcInfo %zu bytes, emulator \"%s\"\n", big ? "big" : "little",
                8 * sizeof(void *), sizeof(ProcInfo), KVO_TARGET_EMULATOR);
    if (KVO_UNDER_EMULATOR) { // else a green cross run would prove nothing about the board
        EXPECT_TRUE(big);
        EXPECT_TRUE(sizeof(void *) == 4 && sizeof(SelectProc) == 4 && sizeof(timer_t) == 4);
    }
#define KVO_LAYOUT_ROW(expr) {#expr, expr},
    const KvoLayoutFact cxx[] = {KVO_LAYOUT_FACTS(KVO_LAYOUT_ROW)};
    ASSERT_EQ(kvoLayoutCCount, std::size(cxx));
    for (size_t i = 0; i < std::size(cxx); i++)
        EXPECT_EQ(kvoLayoutC[i].value, cxx[i].value) << cxx[i].what;
}

// Each word has its bits in another byte (a one-byte or fixed-order reader fails
// some), the rest of OTHER nonzero; a press goes to the parent for any nonzero
// word, to the EK module for 0.
TEST(Target, ParentModeWordIsReadNatively)
{
    KvoRoot root;
    ASSERT_TRUE(root.MakeAllFifos());
    HeldFifo pare(KVO_PATH_FIFO_PARE), ek(KVO_PATH_FIFO_EK);
    for (int32_t word : {0, 1, 0x100, 0x10000, 0x01000000, -1, INT32_MIN}) {
        unsigned char other[KVO_OTHER_SIZE], config[KVO_CONFIG_SIZE] = {}; // no hold timing
        std::memset(other, 0xa5, sizeof other);
        std::memcpy(other + KVO_OTHER_PARENT_MODE_OFF, &word, sizeof word);
        EXPECT_EQ(word, KvoOtherParentMode(other));
        int dev[2];
        ASSERT_EQ(0, pipe(dev));
        const unsigned char press = GDBT_EVENT_PRESS;
        ASSERT_EQ(1, write(dev[1], &press, 1));
        ProcInfo info{};
        info.pConfigData = config;
        info.pOtherData = other;
        info.iSelectDes = dev[0];
        EXPECT_EQ(0, GDBTReadFunc(&info));
        EXPECT_EQ(word != 0 ? "052356" + Data("") : "", pare.Drain()) << word;
        EXPECT_EQ(word == 0 ? "052356" + Data("") : "", ek.Drain()) << word;
        close(dev[0]);
        close(dev[1]);
    }
}

} // namespace
