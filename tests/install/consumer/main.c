/* A C module on the installed libraries: the runtime's record and identity, the descriptor
 * tables, the segment layout, the frame and the FIFO names.  Exit 1 with a line per fault. */
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kvomessaging.h"
#include "kvoruntime.h"
#include "kvosegments.h"

_Static_assert(sizeof(FifoMsg) == FIFO_MSG_SIZE && offsetof(FifoMsg, data) == 6, "the frame's layout");

static int gFaults, gNameLines;

#define Check(ok, what) (void)((ok) || (gFaults += fprintf(stderr, "FAULT: %s\n", what) > 0))

/* The runtime logs through ComLog; a sink keeps this program off syslog. */
static void Sink(int priority, const char *text, void *ctx)
{
    (void)priority, (void)ctx;
    gNameLines += strstr(text, "kvogdbt") != NULL;
}

int main(void)
{
    ProcInfo *pProcInfo = calloc(1, sizeof *pProcInfo);
    unsigned char other[KVO_OTHER_SIZE] = {0};
    int32_t word = 7;
    if (pProcInfo == NULL)
        return 1;
    ComLogSetSink(Sink, NULL);
    ComModuleInfoCreate(pProcInfo, MODID_GDBT);
    Check(pProcInfo->moduleInfo.mid == 52 && pProcInfo->moduleInfo.pid == getpid(), "module id and pid recorded");
    Check(strcmp(pProcInfo->moduleInfo.name, "kvogdbt") == 0 && gNameLines > 0, "module name, logged through the sink");
    FD_SET(7, &pProcInfo->stSelectFds);
    pProcInfo->iMaxfd = pProcInfo->iaSelectDes[0] = 7;
    ComSelectFdzero(pProcInfo);
    Check(!FD_ISSET(7, &pProcInfo->stSelectFds) && pProcInfo->iMaxfd == 0 && pProcInfo->iaSelectDes[0] == 0,
          "descriptor tables emptied");
    memcpy(other + KVO_OTHER_PARENT_MODE_OFF, &word, sizeof word);
    Check(KvoOtherParentMode(other) == 7, "OTHER word read in the platform's order");
    unsetenv("KVO_ROOT");
    Check(strcmp(FIFO_NAME_GDBT, "/tmp/pipe/FifoGdbt") == 0, "service FIFO name");
    setenv("KVO_ROOT", "/sim", 1);
    Check(strcmp(FIFO_NAME_STS, "/sim/tmp/pipe/FifoSts") == 0, "FIFO name follows KVO_ROOT");
    printf("kvoconsumer: %s-endian, %zu-bit pointers, ProcInfo %zu bytes, %d fault(s)\n",
           __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? "big" : "little", 8 * sizeof(void *), sizeof(ProcInfo), gFaults);
    ComLogSetSink(NULL, NULL);
    free(pProcInfo);
    return gFaults == 0 ? 0 : 1;
}
