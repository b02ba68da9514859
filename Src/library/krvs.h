/* libkrvs: the korvo optimizer engine, C interface.
 *
 * Conventions of every function declared here:
 *  - the return value is an int, 0 on success; on failure the text of the
 *    error is kept and read back with KRVSgetlasterror (problem functions)
 *    or KRVS_ge_getlasterror (everything else);
 *  - rows, columns and sets count from 0; "64" functions take 64-bit starts
 *    and counts; magnitudes of 1e20 or more are infinite;
 *  - no C++ exception ever leaves the library.
 */
#ifndef KRVS_H
#define KRVS_H

#include <stdint.h>

#ifdef __cplusplus
#define KRVS_NOEXCEPT noexcept
extern "C" {
#else
#define KRVS_NOEXCEPT
#endif

#if defined(KRVS_BUILDING_LIBRARY)
#define KRVS_API __attribute__((visibility("default")))
#else
#define KRVS_API
#endif

#define KRVS_INFINITY 1.0e20

typedef struct krvs_problem_s *KRVSprob;
typedef struct krvs_branchobj_s *KRVSbranchobject;
/* Any object the engine hands out (problem, global environment, ...);
 * KRVSgetobjecttypename tells which it is. */
typedef void *KRVSobject;

/* Global message handler: sending object, the handler's own data, an opaque
 * pointer owned by the engine, the text (one whole line, no newline), its
 * length and the message type (1 information, 2 unused, 3 warning,
 * 4 error). Returns 0. */
typedef int (*KRVSmsghandler_fn)(KRVSobject sender, void *user_data, void *opaque,
                                 const char *msg, int msglen, int msgtype);
/* Problem message callback. */
typedef void (*KRVSmessage_fn)(KRVSprob prob, void *user_data, const char *msg,
                               int msglen, int msgtype);

/* ---- environment ---------------------------------------------------- */
KRVS_API int KRVSinit(const char *path) KRVS_NOEXCEPT;
KRVS_API int KRVSfree(void) KRVS_NOEXCEPT;
KRVS_API int KRVSgetbanner(char *banner) KRVS_NOEXCEPT;  /* at least 512 bytes */
KRVS_API int KRVSgetversion(char *version) KRVS_NOEXCEPT; /* at least 32 bytes */
KRVS_API int KRVSgetcheckedmode(int *checked_mode) KRVS_NOEXCEPT;
KRVS_API int KRVSsetcheckedmode(int checked_mode) KRVS_NOEXCEPT;
KRVS_API int KRVSgetobjecttypename(KRVSobject object, const char **name) KRVS_NOEXCEPT;

KRVS_API int KRVS_ge_addcbmsghandler(KRVSmsghandler_fn handler, void *user_data,
                                     int priority) KRVS_NOEXCEPT;
KRVS_API int KRVS_ge_removecbmsghandler(KRVSmsghandler_fn handler, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KRVS_ge_getlasterror(int *code, char *msg, int maxbytes, int *msglen) KRVS_NOEXCEPT;
KRVS_API int KRVS_ge_setarchconsistency(int consistent) KRVS_NOEXCEPT;
KRVS_API int KRVS_ge_getcomputeallowed(int *allowed) KRVS_NOEXCEPT;
KRVS_API int KRVS_ge_setcomputeallowed(int allowed) KRVS_NOEXCEPT;

/* ---- problems ------------------------------------------------------- */
KRVS_API int KRVScreateprob(KRVSprob *prob) KRVS_NOEXCEPT;
KRVS_API int KRVSdestroyprob(KRVSprob prob) KRVS_NOEXCEPT;
KRVS_API int KRVSsetprobname(KRVSprob prob, const char *name) KRVS_NOEXCEPT;
KRVS_API int KRVSgetprobname(KRVSprob prob, char *name) KRVS_NOEXCEPT;
/* Last error of a problem; msg holds at least 512 bytes. */
KRVS_API int KRVSgetlasterror(KRVSprob prob, char *msg) KRVS_NOEXCEPT;
KRVS_API int KRVSaddcbmessage(KRVSprob prob, KRVSmessage_fn fn, void *user_data,
                              int priority) KRVS_NOEXCEPT;
KRVS_API int KRVSremovecbmessage(KRVSprob prob, KRVSmessage_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KRVSinterrupt(KRVSprob prob, int reason) KRVS_NOEXCEPT;

/* ---- controls and attributes ---------------------------------------- */
/* Flags of KRVSgetcalist_c entries. */
#define KRVS_CA_INT     0x01
#define KRVS_CA_DOUBLE  0x02
#define KRVS_CA_STRING  0x04
#define KRVS_CA_INT64   0x08
#define KRVS_CA_CONTROL 0x20

KRVS_API int KRVSgetintcontrol(KRVSprob prob, int id, int *value) KRVS_NOEXCEPT;
KRVS_API int KRVSgetintcontrol64(KRVSprob prob, int id, int64_t *value) KRVS_NOEXCEPT;
KRVS_API int KRVSsetintcontrol(KRVSprob prob, int id, int value) KRVS_NOEXCEPT;
KRVS_API int KRVSsetintcontrol64(KRVSprob prob, int id, int64_t value) KRVS_NOEXCEPT;
KRVS_API int KRVSgetdblcontrol(KRVSprob prob, int id, double *value) KRVS_NOEXCEPT;
KRVS_API int KRVSsetdblcontrol(KRVSprob prob, int id, double value) KRVS_NOEXCEPT;
/* String controls: value holds at least 2048 bytes. */
KRVS_API int KRVSgetstrcontrol(KRVSprob prob, int id, char *value) KRVS_NOEXCEPT;
KRVS_API int KRVSgetstringcontrol(KRVSprob prob, int id, char *value, int maxbytes,
                                  int *nbytes) KRVS_NOEXCEPT;
KRVS_API int KRVSsetstrcontrol(KRVSprob prob, int id, const char *value) KRVS_NOEXCEPT;
KRVS_API int KRVSsetdefaultcontrol(KRVSprob prob, int id) KRVS_NOEXCEPT;
KRVS_API int KRVSsetdefaults(KRVSprob prob) KRVS_NOEXCEPT;
KRVS_API int KRVScopycontrols(KRVSprob dest, KRVSprob src) KRVS_NOEXCEPT;

KRVS_API int KRVSgetintattrib(KRVSprob prob, int id, int *value) KRVS_NOEXCEPT;
KRVS_API int KRVSgetintattrib64(KRVSprob prob, int id, int64_t *value) KRVS_NOEXCEPT;
KRVS_API int KRVSgetdblattrib(KRVSprob prob, int id, double *value) KRVS_NOEXCEPT;
KRVS_API int KRVSgetstringattrib(KRVSprob prob, int id, char *value, int maxbytes,
                                 int *nbytes) KRVS_NOEXCEPT;
/* The whole control and attribute list: parallel arrays owned by the engine,
 * ended by an entry whose id is 0. */
KRVS_API int KRVSgetcalist_c(const int **ids, const char *const **names,
                             const int **flags) KRVS_NOEXCEPT;

#ifdef __cplusplus
}
#endif
#endif /* KRVS_H */
