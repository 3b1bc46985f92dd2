/*
 * kvosegments.h - the CONFIG and OTHER segments as the modules that fill
 * them lay them out: their ftok project ids (keys from ComShmKey), the sizes
 * this controller fixes, and the offsets of the values read from them, with
 * a reader for each.  Offsets are bytes from the start of the segment;
 * integers are in the platform's byte order.  Usable from C and C++.
 */
#ifndef KVOSEGMENTS_H
#define KVOSEGMENTS_H

#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    KVO_CONFIG_PROJ_ID = 'c',
    KVO_CONFIG_SIZE = 28376,
    KVO_CONFIG_GUARD_BUTTON_OFF = 27648, /* other.guard_button[0]: '1' enables hold timing */
    KVO_CONFIG_AUTH_FLAG_OFF = 27722,    /* '0': direct guard requests go through the IO status */

    KVO_OTHER_PROJ_ID = 'o',
    KVO_OTHER_SIZE = 228,
    KVO_OTHER_PARENT_MODE_OFF = 4,   /* int32, nonzero: parent mode */
    KVO_OTHER_HOLD_INHIBIT_OFF = 189 /* nonzero: a press starts no hold timing */
};

static inline unsigned char KvoConfigGuardButton(const unsigned char *pConfig)
{
    return pConfig[KVO_CONFIG_GUARD_BUTTON_OFF];
}

static inline unsigned char KvoConfigAuthFlag(const unsigned char *pConfig)
{
    return pConfig[KVO_CONFIG_AUTH_FLAG_OFF];
}

/* The segment gives no alignment promise, hence the copy. */
static inline int32_t KvoOtherParentMode(const unsigned char *pOther)
{
    int32_t v;
    memcpy(&v, pOther + KVO_OTHER_PARENT_MODE_OFF, sizeof v);
    return v;
}

static inline unsigned char KvoOtherHoldInhibit(const unsigned char *pOther)
{
    return pOther[KVO_OTHER_HOLD_INHIBIT_OFF];
}

#ifdef __cplusplus
}

static_assert(KVO_CONFIG_PROJ_ID == 99 && KVO_OTHER_PROJ_ID == 111, "ftok ids");
static_assert(KVO_CONFIG_GUARD_BUTTON_OFF < KVO_CONFIG_AUTH_FLAG_OFF, "guard_button before the flag");
static_assert(KVO_CONFIG_AUTH_FLAG_OFF < KVO_CONFIG_SIZE, "flag inside CONFIG");
static_assert(KVO_OTHER_PARENT_MODE_OFF + sizeof(int32_t) <= KVO_OTHER_SIZE, "word inside OTHER");
static_assert(KVO_OTHER_HOLD_INHIBIT_OFF < KVO_OTHER_SIZE, "byte inside OTHER");
#endif

#endif /* KVOSEGMENTS_H */
