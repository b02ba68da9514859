/* The nonlinear (sequential linear programming) solver carried by libkrvs.
 * Same conventions as krvs.h: int return, 0 on success, 0-based indices. A
 * nonlinear problem always wraps an optimizer problem. */
#ifndef KNLS_H
#define KNLS_H

#include "krvs.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct knls_problem_s *KNLSprob;

typedef void (*KNLSmessage_fn)(KNLSprob prob, void *user_data, const char *msg,
                               int msglen, int msgtype);

/* Flags returned by KNLScontrolcode. */
#define KNLS_CA_INT     0x001
#define KNLS_CA_DOUBLE  0x002
#define KNLS_CA_STRING  0x004
#define KNLS_CA_CONTROL 0x010
#define KNLS_CA_HIDDEN  0x200

/* Pointer attribute: the wrapped optimizer problem. */
#define KNLS_PTRATTR_OPTPROB 12601
/* Function-object query inside a user function: the nonlinear problem. */
#define KNLS_FUNCOBJ_NLPROB 12602


KRVS_API int KNLSinit(const char *path) KRVS_NOEXCEPT;
KRVS_API int KNLSfree(void) KRVS_NOEXCEPT;
KRVS_API int KNLScreateprob(KNLSprob *nlprob, KRVSprob *optprob) KRVS_NOEXCEPT;
KRVS_API int KNLSdestroyprob(KNLSprob nlprob) KRVS_NOEXCEPT;
KRVS_API int KNLScopyprob(KNLSprob dest, KNLSprob src, const char *name) KRVS_NOEXCEPT;
KRVS_API int KNLScopycontrols(KNLSprob dest, KNLSprob src) KRVS_NOEXCEPT;
/* Last error of a nonlinear problem; msg holds at least 512 bytes. */
KRVS_API int KNLSgetlasterror(KNLSprob nlprob, int *code, char *msg) KRVS_NOEXCEPT;
KRVS_API int KNLSsetcbmessage(KNLSprob nlprob, KNLSmessage_fn fn, void *user_data) KRVS_NOEXCEPT;

KRVS_API int KNLSgetintcontrol(KNLSprob nlprob, int id, int *value) KRVS_NOEXCEPT;
KRVS_API int KNLSsetintcontrol(KNLSprob nlprob, int id, int value) KRVS_NOEXCEPT;
KRVS_API int KNLSgetdblcontrol(KNLSprob nlprob, int id, double *value) KRVS_NOEXCEPT;
KRVS_API int KNLSsetdblcontrol(KNLSprob nlprob, int id, double value) KRVS_NOEXCEPT;
/* String values: buffers of at least 2048 bytes. */
KRVS_API int KNLSgetstrcontrol(KNLSprob nlprob, int id, char *value) KRVS_NOEXCEPT;
KRVS_API int KNLSsetstrcontrol(KNLSprob nlprob, int id, const char *value) KRVS_NOEXCEPT;
KRVS_API int KNLSgetintattrib(KNLSprob nlprob, int id, int *value) KRVS_NOEXCEPT;
KRVS_API int KNLSgetdblattrib(KNLSprob nlprob, int id, double *value) KRVS_NOEXCEPT;
KRVS_API int KNLSgetstrattrib(KNLSprob nlprob, int id, char *value) KRVS_NOEXCEPT;
KRVS_API int KNLSgetptrattrib(KNLSprob nlprob, int id, void **value) KRVS_NOEXCEPT;
/* Name to id and flags (KNLS_CA_...). */
KRVS_API int KNLScontrolcode(const char *name, int *id, int *flags) KRVS_NOEXCEPT;
/* Parallel arrays owned by the engine; entry 0 is unused and the lists end
 * at the first null name. */
KRVS_API int KNLSgetcalist(const int **ids, const char *const **names,
                           const int **flags) KRVS_NOEXCEPT;
KRVS_API int KNLSgetKTRcalist(const int **ids, const char *const **names,
                              const int **flags) KRVS_NOEXCEPT;

#ifdef __cplusplus
}
#endif
#endif /* KNLS_H */
