/* layout.h - the record and frame layout facts that a C module and the C++
 * runtime must agree on, listed once for both languages. */
#ifndef KVO_TEST_LAYOUT_H
#define KVO_TEST_LAYOUT_H

#include <stddef.h>

#include "kvomessaging.h"
#include "kvoruntime.h"

#define KVO_LAYOUT_FACTS(X)                              \
    X(sizeof(FifoMsg))                                   \
    X(offsetof(FifoMsg, cid))                            \
    X(offsetof(FifoMsg, data))                           \
    X(sizeof(TimerCntInfo_t))                            \
    X(offsetof(TimerCntInfo_t, timerId))                 \
    X(offsetof(TimerCntInfo_t, pTimeUpProc))             \
    X(offsetof(TimerCntInfo_t, itval))                   \
    X(sizeof(ModuleInfo_t))                              \
    X(offsetof(ModuleInfo_t, pid))                       \
    X(sizeof(ProcInfo))                                  \
    X(offsetof(ProcInfo, stSelectFds))                   \
    X(offsetof(ProcInfo, pTimerSelectProc))              \
    X(offsetof(ProcInfo, pShmConfig))                    \
    X(offsetof(ProcInfo, pOtherData))                    \
    X(offsetof(ProcInfo, TimerCntInfo))                  \
    X(offsetof(ProcInfo, moduleInfo))                    \
    X(offsetof(ProcInfo, pProcName))                     \
    X(offsetof(ProcInfo, uShmIdRecorded))

typedef struct KvoLayoutFact {
    const char *what;
    size_t value;
} KvoLayoutFact;

#ifdef __cplusplus
extern "C" {
#endif
/* As a C compiler sees them (layout_c.c). */
extern const KvoLayoutFact kvoLayoutC[];
extern const size_t kvoLayoutCCount;
#ifdef __cplusplus
}
#endif

#endif /* KVO_TEST_LAYOUT_H */
