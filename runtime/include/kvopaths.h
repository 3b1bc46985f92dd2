/*
 * kvopaths.h - every fixed path of the controller, in one table.
 *
 * With KVO_ROOT unset (or empty) each path is exactly the controller's own;
 * with it set, each is that folder followed by the controller's path, so
 * that simulations and tests run side by side without touching the real
 * ones.  The guard-button device keeps its path (an emulation stands in for
 * it off the board).
 */
#ifndef KVOPATHS_H
#define KVOPATHS_H

#ifdef __cplusplus
extern "C" {
#endif

typedef enum KvoPathId {
    KVO_PATH_FIFO_DIR,  /* "/tmp/pipe" */
    KVO_PATH_FIFO_GDBT, /* "/tmp/pipe/FifoGdbt" */
    KVO_PATH_FIFO_STS,  /* "/tmp/pipe/FifoSts" */
    KVO_PATH_FIFO_STSP, /* "/tmp/pipe/FifoStsp" */
    KVO_PATH_FIFO_PARE, /* "/tmp/pipe/FifoPare" */
    KVO_PATH_FIFO_AUTH, /* "/tmp/pipe/FifoAuth" */
    KVO_PATH_FIFO_DISP, /* "/tmp/pipe/FifoDisp" */
    KVO_PATH_FIFO_EK,   /* "/tmp/pipe/FifoEk" */
    KVO_PATH_FIFO_LOG,  /* "/tmp/pipe/FifoLog" */
    KVO_PATH_FIFO_FTP,  /* "/tmp/pipe/FifoFtp" */
    KVO_PATH_SHM_KEY,   /* "/usr/local/jx/ap/sys/shm-key" */
    KVO_PATH_COUNT
} KvoPathId;

/* The guard-button device; never moved by KVO_ROOT. */
#define KVO_DEV_CR_KEY "/dev/cr_key"

/* The path as this process must use it (KVO_ROOT applied).  The pointer
 * stays valid until the next call for the same id. */
const char *KvoPath(KvoPathId id);
/* The controller's own path, without KVO_ROOT. */
const char *KvoBasePath(KvoPathId id);

#ifdef __cplusplus
}
#endif

#endif /* KVOPATHS_H */
