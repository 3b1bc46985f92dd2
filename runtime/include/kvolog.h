/*
 * kvolog.h - the log of a module process.
 *
 * By default every line goes to syslog with the ident, option, facility and
 * mask the module opened it with.  The environment variable KVO_LOG_TARGET
 * can move the lines elsewhere, for simulations and tests:
 *   "syslog" (or unset)  syslog, the default
 *   "stderr"             standard error
 *   "file:PATH"          appended to PATH
 * Off syslog each line is written as "<PRI>IDENT[PID]: TEXT\n" with PRI the
 * facility and priority as syslog numbers them, in one write.  The mask
 * applies to every target.  Tests can also install a sink function.
 */
#ifndef KVOLOG_H
#define KVOLOG_H

#include <stdarg.h>
#include <syslog.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KVO_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define KVO_PRINTF(f, a)
#endif

/* openlog, and the target chosen by KVO_LOG_TARGET. */
void ComLogOpen(const char *ident, int option, int facility);
/* setlogmask; returns the previous mask. */
int ComLogSetMask(int mask);
/* One line at priority (LOG_DEBUG, LOG_INFO, ...). */
void ComLog(int priority, const char *fmt, ...) KVO_PRINTF(2, 3);
void ComLogV(int priority, const char *fmt, va_list ap) KVO_PRINTF(2, 0);
/* Nonzero when a line at priority would pass the mask: lets a caller skip
 * work done only for a trace (a system call for one of its values). */
int ComLogEnabled(int priority);
/* This process's id as the log prints it, without a system call. */
int ComLogPid(void);
/* closelog. */
void ComLogClose(void);

/* A sink sees every line that passes the mask, with its priority and the
 * formatted text as the caller wrote it (trailing line feed included). */
typedef void (*ComLogSinkProc)(int priority, const char *text, void *ctx);
/* Install (or with NULL remove) a sink; while one is installed, nothing
 * goes to the target. */
void ComLogSetSink(ComLogSinkProc sink, void *ctx);

#ifdef __cplusplus
}
#endif

#endif /* KVOLOG_H */
