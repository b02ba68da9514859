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


/* ---- loading a whole model -------------------------------------------
 * The matrix is given by columns: column j has its coefficients at
 * positions start[j] .. start[j+1]-1 (or start[j] .. start[j]+collen[j]-1
 * when collen is not null) of rowind/rowcoef. Row types: 'L' <=, 'G' >=,
 * 'E' =, 'R' range (rhs - |range| <= row <= rhs), 'N' free. A null range
 * means no ranges; null bounds mean 0 and infinity; a null objective 0. */
#define KRVS_LP_ARGS(START_T)                                                                    \
  KRVSprob prob, const char *probname, int ncols, int nrows, const char rowtype[],               \
      const double rhs[], const double range[], const double obj[], const START_T start[],         \
      const int collen[], const int rowind[], const double rowcoef[], const double lb[],           \
      const double ub[]
/* Quadratic objective: triplets (col1, col2, coef) of the upper or lower
 * triangle; an entry (i, j) with i != j stands for both (i, j) and (j, i),
 * so the objective's quadratic part is 0.5 x'Qx with Q symmetric. */
#define KRVS_QOBJ_ARGS int64_t nobjqcoefs, const int objqcol1[], const int objqcol2[], const double objqcoef[]
/* Discrete entities: coltype[k] ('B', 'I', 'S', 'R', 'P') for column entind[k]
 * with threshold limit[k] (S, R, P); sets k of type settype[k] ('1', '2')
 * with members setind[setstart[k] .. setstart[k+1]-1] and weights refval. */
#define KRVS_GLOBAL_ARGS                                                                         \
  int nentities, int nsets, const char coltype[], const int entind[], const double limit[],      \
      const char settype[], const int64_t setstart[], const int setind[], const double refval[]
/* Quadratic rows: row qrowind[k] gets nrowqcoefs[k] triplets taken in turn
 * from rowqcol1/rowqcol2/rowqcoef; the row reads a'x + x'Qx with an entry
 * (i, j), i != j, counted once for (i, j) and once for (j, i). */
#define KRVS_QROW_ARGS                                                                           \
  int nqrows, const int qrowind[], const int64_t nrowqcoefs[], const int rowqcol1[],             \
      const int rowqcol2[], const double rowqcoef[]

KRVS_API int KRVSloadlp(KRVS_LP_ARGS(int)) KRVS_NOEXCEPT;
KRVS_API int KRVSloadlp64(KRVS_LP_ARGS(int64_t)) KRVS_NOEXCEPT;
KRVS_API int KRVSloadqp64(KRVS_LP_ARGS(int64_t), KRVS_QOBJ_ARGS) KRVS_NOEXCEPT;
KRVS_API int KRVSloadglobal64(KRVS_LP_ARGS(int64_t), KRVS_GLOBAL_ARGS) KRVS_NOEXCEPT;
KRVS_API int KRVSloadqglobal64(KRVS_LP_ARGS(int64_t), KRVS_QOBJ_ARGS, KRVS_GLOBAL_ARGS) KRVS_NOEXCEPT;
KRVS_API int KRVSloadqcqp64(KRVS_LP_ARGS(int64_t), KRVS_QOBJ_ARGS, KRVS_QROW_ARGS) KRVS_NOEXCEPT;
KRVS_API int KRVSloadqcqpglobal64(KRVS_LP_ARGS(int64_t), KRVS_QOBJ_ARGS, KRVS_QROW_ARGS,
                                  KRVS_GLOBAL_ARGS) KRVS_NOEXCEPT;
KRVS_API int KRVScopyprob(KRVSprob dest, KRVSprob src, const char *probname) KRVS_NOEXCEPT;

/* ---- adding, changing and deleting ------------------------------------ */
/* Rows by rows: row i has its coefficients at start[i] .. start[i+1]-1. */
KRVS_API int KRVSaddrows64(KRVSprob prob, int nrows, int64_t ncoefs, const char rowtype[],
                           const double rhs[], const double range[], const int64_t start[],
                           const int colind[], const double rowcoef[]) KRVS_NOEXCEPT;
KRVS_API int KRVSaddcols64(KRVSprob prob, int ncols, int64_t ncoefs, const double obj[],
                           const int64_t start[], const int rowind[], const double rowcoef[],
                           const double lb[], const double ub[]) KRVS_NOEXCEPT;
/* Names: type 1 rows, 2 columns, 3 sets; `names` holds last-first+1
 * zero-terminated names one after the other. */
KRVS_API int KRVSaddnames(KRVSprob prob, int type, const char names[], int first, int last) KRVS_NOEXCEPT;
KRVS_API int KRVSaddsetnames(KRVSprob prob, const char names[], int first, int last) KRVS_NOEXCEPT;
/* The same as KRVSaddnames with the names "<prefix><numbers[k]>" ("R17",
 * "C5"; prefix R rows, C columns, S sets), kept as numbers rather than text;
 * a number of UINT64_MAX leaves that entry's name as it is. */
KRVS_API int KRVSaddnumberednames(KRVSprob prob, int type, const uint64_t numbers[], int first,
                                  int last) KRVS_NOEXCEPT;
KRVS_API int KRVSchgcoltype(KRVSprob prob, int ncols, const int colind[], const char coltype[]) KRVS_NOEXCEPT;
/* Thresholds of 'S', 'R' and 'P' columns only; setting type 'B' clamps the bounds to [0, 1]. */
KRVS_API int KRVSchgglblimit(KRVSprob prob, int ncols, const int colind[], const double limit[]) KRVS_NOEXCEPT;
/* Bound types: 'L' lower, 'U' upper, 'B' both. */
KRVS_API int KRVSchgbounds(KRVSprob prob, int nbounds, const int colind[], const char bndtype[],
                           const double bndval[]) KRVS_NOEXCEPT;
KRVS_API int KRVSchgrhs(KRVSprob prob, int nrows, const int rowind[], const double rhs[]) KRVS_NOEXCEPT;
/* Makes the rows range rows: an 'L', 'E' or 'N' row keeps its rhs as the upper end,
 * a 'G' row keeps it as the lower end. */
KRVS_API int KRVSchgrhsrange(KRVSprob prob, int nrows, const int rowind[], const double range[]) KRVS_NOEXCEPT;
KRVS_API int KRVSchgrowtype(KRVSprob prob, int nrows, const int rowind[], const char rowtype[]) KRVS_NOEXCEPT;
KRVS_API int KRVSchgcoef(KRVSprob prob, int row, int col, double coef) KRVS_NOEXCEPT;
KRVS_API int KRVSchgmcoef64(KRVSprob prob, int64_t ncoefs, const int rowind[], const int colind[],
                            const double rowcoef[]) KRVS_NOEXCEPT;
/* Quadratic part of one row, triplets as in KRVS_QROW_ARGS (added to what is there). */
KRVS_API int KRVSaddqmatrix64(KRVSprob prob, int row, int64_t ncoefs, const int rowqcol1[],
                              const int rowqcol2[], const double rowqcoef[]) KRVS_NOEXCEPT;
KRVS_API int KRVSaddsets64(KRVSprob prob, int nsets, int64_t nelems, const char settype[],
                           const int64_t start[], const int colind[], const double refval[]) KRVS_NOEXCEPT;
/* Objective coefficients; index -1 sets minus the objective constant. */
KRVS_API int KRVSchgobj(KRVSprob prob, int ncols, const int colind[], const double objcoef[]) KRVS_NOEXCEPT;
/* Quadratic objective entries (replacing what is there), triplets as in KRVS_QOBJ_ARGS. */
KRVS_API int KRVSchgmqobj(KRVSprob prob, int ncoefs, const int objqcol1[], const int objqcol2[],
                          const double objqcoef[]) KRVS_NOEXCEPT;
KRVS_API int KRVSchgmqobj64(KRVSprob prob, int64_t ncoefs, const int objqcol1[], const int objqcol2[],
                            const double objqcoef[]) KRVS_NOEXCEPT;
/* 1 minimise, -1 maximise. */
KRVS_API int KRVSchgobjsense(KRVSprob prob, int objsense) KRVS_NOEXCEPT;
/* Deletions: later indices shift down, keeping their order. */
KRVS_API int KRVSdelrows(KRVSprob prob, int nrows, const int rowind[]) KRVS_NOEXCEPT;
KRVS_API int KRVSdelcols(KRVSprob prob, int ncols, const int colind[]) KRVS_NOEXCEPT;
KRVS_API int KRVSdelsets(KRVSprob prob, int nsets, const int setind[]) KRVS_NOEXCEPT;
/* Indicator constraints: row rowind[k] must hold when column colind[k] is 1
 * (complement 1), or when it is 0 (complement -1); complement 0 removes
 * the indicator from the row. */
KRVS_API int KRVSsetindicators(KRVSprob prob, int nrows, const int rowind[], const int colind[],
                               const int complement[]) KRVS_NOEXCEPT;
/* For rows first..last: the indicator column (-1 for none) and complement flag. */
KRVS_API int KRVSgetindicators(KRVSprob prob, int colind[], int complement[], int first, int last) KRVS_NOEXCEPT;
KRVS_API int KRVSdelindicators(KRVSprob prob, int first, int last) KRVS_NOEXCEPT;

/* ---- queries ---------------------------------------------------------- */
KRVS_API int KRVSgetlb(KRVSprob prob, double lb[], int first, int last) KRVS_NOEXCEPT;
KRVS_API int KRVSgetub(KRVSprob prob, double ub[], int first, int last) KRVS_NOEXCEPT;
KRVS_API int KRVSgetcoltype(KRVSprob prob, char coltype[], int first, int last) KRVS_NOEXCEPT;
KRVS_API int KRVSgetrhs(KRVSprob prob, double rhs[], int first, int last) KRVS_NOEXCEPT;
KRVS_API int KRVSgetrhsrange(KRVSprob prob, double range[], int first, int last) KRVS_NOEXCEPT;
KRVS_API int KRVSgetrowtype(KRVSprob prob, char rowtype[], int first, int last) KRVS_NOEXCEPT;
KRVS_API int KRVSgetobj(KRVSprob prob, double obj[], int first, int last) KRVS_NOEXCEPT;
/* Matrix by rows / by columns: with null arrays only *ncoefs is set (the
 * total); otherwise at most maxcoefs coefficients are written and start has
 * last-first+2 entries. */
KRVS_API int KRVSgetrows64(KRVSprob prob, int64_t start[], int colind[], double colcoef[], int64_t maxcoefs,
                           int64_t *ncoefs, int first, int last) KRVS_NOEXCEPT;
KRVS_API int KRVSgetcols64(KRVSprob prob, int64_t start[], int rowind[], double rowcoef[], int64_t maxcoefs,
                           int64_t *ncoefs, int first, int last) KRVS_NOEXCEPT;
KRVS_API int KRVSgetcoef(KRVSprob prob, int row, int col, double *coef) KRVS_NOEXCEPT;
/* Quadratic objective of columns first..last, by columns as KRVSgetcols64:
 * column j lists every (j, k) entry of the upper triangle (k >= j). */
KRVS_API int KRVSgetmqobj(KRVSprob prob, int start[], int colind[], double objqcoef[], int maxcoefs,
                          int *ncoefs, int first, int last) KRVS_NOEXCEPT;
KRVS_API int KRVSgetmqobj64(KRVSprob prob, int64_t start[], int colind[], double objqcoef[], int64_t maxcoefs,
                            int64_t *ncoefs, int first, int last) KRVS_NOEXCEPT;
/* Rows with a quadratic part, and one row's triplets (upper triangle). */
KRVS_API int KRVSgetqrows(KRVSprob prob, int *nrows, int rowind[]) KRVS_NOEXCEPT;
KRVS_API int KRVSgetqrowqmatrixtriplets(KRVSprob prob, int row, int64_t *ncoefs, int rowqcol1[],
                                        int rowqcol2[], double rowqcoef[]) KRVS_NOEXCEPT;
/* Discrete entities and sets (any output may be null). */
KRVS_API int KRVSgetglobal64(KRVSprob prob, int *nentities, int *nsets, char coltype[], int colind[],
                             double limit[], char settype[], int64_t setstart[], int setcols[],
                             double refval[]) KRVS_NOEXCEPT;
/* Names in fixed-width slots of 8*L+1 bytes each, L = attribute 1028. */
KRVS_API int KRVSgetnames(KRVSprob prob, int type, char names[], int first, int last) KRVS_NOEXCEPT;
/* Names one after the other, each zero-terminated; with a null buffer only
 * *names_len_reqd is set. */
KRVS_API int KRVSgetnamelist(KRVSprob prob, int type, char names[], int names_len, int *names_len_reqd,
                             int first, int last) KRVS_NOEXCEPT;
/* Index of a named row (1), column (2) or set (3); an unknown name fails. */
KRVS_API int KRVSgetindex(KRVSprob prob, int type, const char *name, int *index) KRVS_NOEXCEPT;

/* ---- files ------------------------------------------------------------ */
/* MPS (fixed or free) and LP format, chosen by the file name's ending
 * (.mps, .lp, with an optional .gz) or the flags ('l' LP, 'x' MPS). A name
 * without an ending is read as given or with .mps/.lp (.gz) added, and is
 * written with the format's ending added. A file that cannot be read fails
 * with a text naming the file and line, and leaves the model as it was. */
KRVS_API int KRVSreadprob(KRVSprob prob, const char *filename, const char *flags) KRVS_NOEXCEPT;
KRVS_API int KRVSwriteprob(KRVSprob prob, const char *filename, const char *flags) KRVS_NOEXCEPT;

/* ---- solving and solutions ------------------------------------------- */
/* Flags: 'd' dual simplex, 'p' primal simplex, 'b' barrier, 'n' network
 * (treated as dual); empty or null: the defaultalg control decides. */
/* KRVSlpoptimize solves the LP (or convex QP) relaxation: integrality, sets
 * and indicator rows are dropped. KRVSmipoptimize enforces every discrete
 * entity; sets, indicators, partially integer and large semi-continuous
 * columns become binaries and rows inside the solver only. A KRVSinterrupt
 * stops the solve that is running; one made before a solve starts is
 * forgotten when it starts. Infeasible, unbounded and stopped solves return
 * 0 and say so in the statuses; non-convex or unsupported models fail. */
KRVS_API int KRVSlpoptimize(KRVSprob prob, const char *flags) KRVS_NOEXCEPT;
KRVS_API int KRVSmipoptimize(KRVSprob prob, const char *flags) KRVS_NOEXCEPT;
/* Any output may be null. Slack = rhs - row activity.
 * Signs, the same for minimisation and maximisation:
 *  - duals[i] is the rate of change of the optimal objective value per unit
 *    increase of rhs[i] (for a binding <= row: <= 0 when minimising, >= 0
 *    when maximising; the reverse for a binding >= row);
 *  - djs[j] = c_j + (Qx)_j - sum_i a_ij duals[i], the rate of change of the
 *    objective when x_j moves up (at an optimum >= 0 for a column at its
 *    lower bound when minimising, <= 0 when maximising).
 * Fails when the last solve left no LP solution, or when rows or columns
 * were added or deleted since. */
KRVS_API int KRVSgetlpsol(KRVSprob prob, double x[], double slack[], double duals[], double djs[]) KRVS_NOEXCEPT;
/* The best integer solution of the last KRVSmipoptimize; fails when there is none. */
KRVS_API int KRVSgetmipsol(KRVSprob prob, double x[], double slack[]) KRVS_NOEXCEPT;

/* ---- more model changes: quadratic coefficients, column limits, names,
 *      bases and starting points ------------------------------------------ */
/* One entry of the objective's quadratic part (Q_ij = Q_ji = coef, objective
 * 0.5 x'Qx) or of a row's (x'Qx), replacing what is there; 0 removes it. */
KRVS_API int KRVSchgqobj(KRVSprob prob, int col1, int col2, double coef) KRVS_NOEXCEPT;
KRVS_API int KRVSchgqrowcoeff(KRVSprob prob, int row, int col1, int col2, double coef) KRVS_NOEXCEPT;
/* Removes the quadratic part of a row (the row stays). */
KRVS_API int KRVSdelqmatrix(KRVSprob prob, int row) KRVS_NOEXCEPT;
KRVS_API int KRVSchgmcoef(KRVSprob prob, int ncoefs, const int rowind[], const int colind[],
                          const double rowcoef[]) KRVS_NOEXCEPT;
/* A simplex basis for the next LP solve, one status per row and column:
 * columns 0 at lower bound, 1 basic, 2 at upper bound, 3 free at zero; rows
 * 0 tight at the right-hand side, 1 basic, 2 (range rows) tight at
 * rhs - range, 3 free nonbasic. Exactly as many basic entries as rows. The
 * basis is used by the next LP solve unless rows or columns change before. */
KRVS_API int KRVSloadbasis(KRVSprob prob, const int rowstat[], const int colstat[]) KRVS_NOEXCEPT;
/* The same for the presolved problem, which is the problem itself here. */
KRVS_API int KRVSloadpresolvebasis(KRVSprob prob, const int rowstat[], const int colstat[]) KRVS_NOEXCEPT;
/* A starting point for the next LP solve: primal values (one per column),
 * slacks (per row, with x), duals (per row) and reduced costs (per column,
 * with the duals); any of them may be null. *status (may be null) is 0. */
KRVS_API int KRVSloadlpsol(KRVSprob prob, const double x[], const double slack[], const double duals[],
                           const double djs[], int *status) KRVS_NOEXCEPT;
/* Scaling: with both arrays null, the solver scales the problem with factors
 * of its own at every solve (control scaling set to 1) and factors given
 * earlier are dropped. Otherwise rowscale (one per row) and colscale (one
 * per column), either may be null (no scaling of that kind), give exponents
 * e in -64..64: row i is multiplied by 2^e, and column j is solved for in
 * units of 2^e (its coefficients and cost multiplied, its bounds divided
 * by 2^e). They are kept with the model (following additions, which get 0,
 * and deletions) and applied to the model handed to the solver by
 * KRVSlpoptimize and KRVSmipoptimize; columns that are integer in the solve
 * keep factor 1. Solutions, duals, reduced costs, bases and every query
 * stay in the caller's units. */
KRVS_API int KRVSscale(KRVSprob prob, const int rowscale[], const int colscale[]) KRVS_NOEXCEPT;
/* Every log line of the problem that is shown is also appended to this file;
 * a null or empty name closes the file. */
KRVS_API int KRVSsetlogfile(KRVSprob prob, const char *filename) KRVS_NOEXCEPT;
/* Message codes of a problem's log: 101 solve start, 102 warm start, 103 solve
 * summary, 104 solve failure, 201/202/203 the solver's information, warning
 * and error lines, 301 the nonlinear solver's iteration log. Status 0 drops
 * the lines of a code, any other value shows them. */
KRVS_API int KRVSsetmessagestatus(KRVSprob prob, int code, int status) KRVS_NOEXCEPT;
KRVS_API int KRVSgetmessagestatus(KRVSprob prob, int code, int *status) KRVS_NOEXCEPT;

/* ---- general and piecewise-linear constraints, MIP starts, the cut pool,
 *      directives and stored branching bounds ------------------------------ */

/* General constraints: resultant = f(operands).
 *  - max (0) and min (1): the largest / smallest of the columns and values
 *    (at least one of them);
 *  - and (2) and or (3): binary resultant and binary columns, no values;
 *  - abs (4): the absolute value of exactly one column, no values.
 * Constraint k has its columns at colind[colstart[k] .. colstart[k+1]-1]
 * (the last one up to ncols) and likewise its values at valstart/val;
 * valstart and val may be null when nvals is 0. Deleting a column removes
 * it from the operands; a constraint whose resultant or every operand is
 * deleted is deleted with it. KRVSmipoptimize enforces them through binary
 * columns and rows of its own, with big-M values taken from the column
 * bounds (a needed bound that is infinite fails, naming the constraint);
 * KRVSlpoptimize drops them, like sets. */
#define KRVS_GENCONS_MAX 0
#define KRVS_GENCONS_MIN 1
#define KRVS_GENCONS_AND 2
#define KRVS_GENCONS_OR 3
#define KRVS_GENCONS_ABS 4
KRVS_API int KRVSaddgencons64(KRVSprob prob, int ncons, int64_t ncols, int64_t nvals, const int contype[],
                              const int resultant[], const int64_t colstart[], const int colind[],
                              const int64_t valstart[], const double val[]) KRVS_NOEXCEPT;
/* Constraints first..last in the layout of KRVSaddgencons64 (starts count
 * from 0 for the first one returned); at most maxcols columns and maxvals
 * values are written, *ncols and *nvals receive the totals. Any output may
 * be null. */
KRVS_API int KRVSgetgencons64(KRVSprob prob, int contype[], int resultant[], int64_t colstart[], int colind[],
                              int64_t maxcols, int64_t *ncols, int64_t valstart[], double val[], int64_t maxvals,
                              int64_t *nvals, int first, int last) KRVS_NOEXCEPT;
/* Deletes general constraints; later ones shift down. */
KRVS_API int KRVSdelgencons(KRVSprob prob, int ncons, const int conind[]) KRVS_NOEXCEPT;

/* Piecewise-linear constraints: resultant[k] = f_k(colind[k]), f_k the
 * line through the points (xval[p], yval[p]), p = start[k] .. start[k+1]-1
 * (the last one up to npoints): x ascending, two points with the same x make
 * a jump (at most two per x), extended beyond the first and last point with
 * the slope of the first and last segment. Enforced by KRVSmipoptimize (a
 * column whose bounds reach beyond the points needs them finite), dropped
 * by KRVSlpoptimize. Deleting either column deletes the constraint. */
KRVS_API int KRVSaddpwlcons64(KRVSprob prob, int npwls, int64_t npoints, const int colind[], const int resultant[],
                              const int64_t start[], const double xval[], const double yval[]) KRVS_NOEXCEPT;
KRVS_API int KRVSgetpwlcons64(KRVSprob prob, int colind[], int resultant[], int64_t start[], double xval[],
                              double yval[], int64_t maxpoints, int64_t *npoints, int first, int last) KRVS_NOEXCEPT;
KRVS_API int KRVSdelpwlcons(KRVSprob prob, int npwls, const int pwlind[]) KRVS_NOEXCEPT;

/* MIP starts. KRVSaddmipsol keeps a full (colind null: one value per
 * column) or partial solution, under an optional name, for the next
 * KRVSmipoptimize. That solve fixes its columns (integral ones at their
 * rounded values), solves for the rest with a small search, and hands the
 * result to the solver as a starting solution. What became of each start
 * is one of the KRVS_MIPSTART_ values, read with KRVSgetmipsolstatus (index
 * 0 .. attribute 1433 - 1, in the order the starts were given).
 * The user-solution notification: the problem record's member
 * user_solution_notify (core/problem.h) is called with the start's name and
 * status as soon as the solve has decided on it, on the solving thread. */
#define KRVS_MIPSTART_PENDING 0    /* not yet offered to a solve */
#define KRVS_MIPSTART_FEASIBLE 1   /* feasible as given, used */
#define KRVS_MIPSTART_COMPLETED 2  /* completed (partial, or continuous values re-solved), used */
#define KRVS_MIPSTART_INFEASIBLE 3 /* no feasible solution agrees with it */
#define KRVS_MIPSTART_DROPPED 4    /* not decided (search limit), or the solve had no use for it */
KRVS_API int KRVSaddmipsol(KRVSprob prob, int length, const double solval[], const int colind[],
                           const char *name) KRVS_NOEXCEPT;
/* Checks a full solution at once: *status is KRVS_MIPSTART_FEASIBLE or
 * _COMPLETED (then it is kept as a start of the next solve, with its
 * completed values), _INFEASIBLE or _DROPPED (not kept). */
KRVS_API int KRVSloadmipsol(KRVSprob prob, const double solval[], int *status) KRVS_NOEXCEPT;
/* name may be null, else it receives at most maxbytes bytes (terminated). */
KRVS_API int KRVSgetmipsolstatus(KRVSprob prob, int index, int *status, char name[], int maxbytes) KRVS_NOEXCEPT;
/* Fixes every discrete column at the last MIP solution (integral values
 * rounded) through its bounds; options 0 or 1 (the same). */
KRVS_API int KRVSfixglobals(KRVSprob prob, int options) KRVS_NOEXCEPT;

/* The cut pool. A cut is a row over the columns with a user type; its
 * handle names it and is refused once the cut is gone. Cuts added with
 * KRVSaddcuts64 or loaded with KRVSloadcuts are active: every solve has them
 * as rows after the model's rows, in the order of their handles.
 * KRVSstorecuts64 puts cuts in the pool without making them active
 * (nodups 1 / 2: a cut equal to one in the pool, of the same / any type, is
 * not added again, and the existing one's handle is returned). Selections by
 * type (ncuts -1, or a null list where the methods say so) use interp -1 every
 * cut, 1 type equal, 2 type sharing a bit, 3 type holding every bit.
 * KRVSdelcuts makes active cuts inactive (stored cuts stay in the pool,
 * others are forgotten); with a solution at hand, only cuts whose absolute
 * slack exceeds delta, and with basis 1 not the tight ones. KRVSdelcpcuts
 * removes stored cuts that are not active. Starts of rows: ncuts + 1 entries.
 * Slacks and violations are taken at the last LP solution, else the last
 * MIP solution. The engine's tree search reads the pool through
 * model/cut_pool.h. */
typedef struct krvs_cut_s *KRVScut;
KRVS_API int KRVSaddcuts64(KRVSprob prob, int ncuts, const int cuttype[], const char rowtype[], const double rhs[],
                           const int64_t start[], const int colind[], const double cutcoef[]) KRVS_NOEXCEPT;
KRVS_API int KRVSstorecuts64(KRVSprob prob, int ncuts, int nodups, const int cuttype[], const char rowtype[],
                             const double rhs[], const int64_t start[], KRVScut cutind[], const int colind[],
                             const double cutcoef[]) KRVS_NOEXCEPT;
KRVS_API int KRVSloadcuts(KRVSprob prob, int cuttype, int interp, int ncuts, const KRVScut cutind[]) KRVS_NOEXCEPT;
KRVS_API int KRVSdelcuts(KRVSprob prob, int basis, int cuttype, int interp, double delta, int ncuts,
                         const KRVScut cutind[]) KRVS_NOEXCEPT;
KRVS_API int KRVSdelcpcuts(KRVSprob prob, int cuttype, int interp, int ncuts, const KRVScut cutind[]) KRVS_NOEXCEPT;
/* Active cuts of a type; *ncuts is the total, at most maxcuts handles are written. */
KRVS_API int KRVSgetcutlist(KRVSprob prob, int cuttype, int interp, int *ncuts, int maxcuts,
                            KRVScut cutind[]) KRVS_NOEXCEPT;
/* Stored cuts of a type violated by at least delta, with their violations. */
KRVS_API int KRVSgetcpcutlist(KRVSprob prob, int cuttype, int interp, double delta, int *ncuts, int maxcuts,
                              KRVScut cutind[], double viol[]) KRVS_NOEXCEPT;
/* The rows of given cuts: start has ncuts + 1 entries, start[ncuts] the
 * total number of coefficients, of which at most maxcoefs are written. */
KRVS_API int KRVSgetcpcuts64(KRVSprob prob, const KRVScut rowind[], int ncuts, int64_t maxcoefs, int cuttype[],
                             char rowtype[], int64_t start[], int colind[], double cutcoef[],
                             double rhs[]) KRVS_NOEXCEPT;
/* The row each cut has in the matrix a solve is given (-1 when not active). */
KRVS_API int KRVSgetcutmap(KRVSprob prob, int ncuts, const KRVScut cutind[], int cutmap[]) KRVS_NOEXCEPT;
KRVS_API int KRVSgetcutslack(KRVSprob prob, KRVScut cut, double *slack) KRVS_NOEXCEPT;
/* Rows marked as model cuts or delayed rows: the engine's tree search may
 * hold them back; the HiGHS solve keeps them as ordinary rows of the model.
 * KRVSgetmodelcuts lists them (delayed 0: model cuts, 1: delayed rows). */
KRVS_API int KRVSloadmodelcuts(KRVSprob prob, int nrows, const int rowind[]) KRVS_NOEXCEPT;
KRVS_API int KRVSloaddelayedrows(KRVSprob prob, int nrows, const int rowind[]) KRVS_NOEXCEPT;
KRVS_API int KRVSgetmodelcuts(KRVSprob prob, int *nrows, int maxrows, int rowind[], int delayed) KRVS_NOEXCEPT;

/* Branching directives of columns: priority (>= 0, smaller first, default
 * 500), direction 'U' up first, 'D' down first, 'N' either, pseudo costs
 * (>= 0). KRVSloaddirs replaces all directives (null arrays: defaults);
 * KRVSloadpresolvedirs is the same, the presolved columns being the
 * model's own; KRVSloadbranchdirs sets directions only (dir > 0 up, < 0
 * down, 0 or null either). KRVSgetdirs lists them by column (null outputs
 * allowed; *ndirs the count). They follow column deletions. HiGHS's search
 * takes no directives: mipoptimize keeps them for the engine's own search. */
KRVS_API int KRVSloaddirs(KRVSprob prob, int ndirs, const int colind[], const int priority[], const char dir[],
                          const double uppseudo[], const double downpseudo[]) KRVS_NOEXCEPT;
KRVS_API int KRVSloadpresolvedirs(KRVSprob prob, int ndirs, const int colind[], const int priority[],
                                  const char dir[], const double uppseudo[], const double downpseudo[]) KRVS_NOEXCEPT;
KRVS_API int KRVSloadbranchdirs(KRVSprob prob, int ncols, const int colind[], const int dir[]) KRVS_NOEXCEPT;
KRVS_API int KRVSgetdirs(KRVSprob prob, int *ndirs, int colind[], int priority[], char dir[], double uppseudo[],
                         double downpseudo[]) KRVS_NOEXCEPT;
/* Rows and columns presolve must keep (added to those marked before). */
KRVS_API int KRVSloadsecurevecs(KRVSprob prob, int nrows, int ncols, const int rowind[],
                                const int colind[]) KRVS_NOEXCEPT;
KRVS_API int KRVSgetsecurevecs(KRVSprob prob, int *nrows, int *ncols, int rowind[], int colind[]) KRVS_NOEXCEPT;

/* Bounds stored for a branch of the search ('L', 'U', 'B'); *bounds receives
 * a handle owned by the problem. KRVSsetbranchbounds / KRVSsetbranchcuts
 * name the bounds and cuts of the branch being made, for the engine's tree
 * search; KRVSgetbranchbounds reads stored bounds back. */
KRVS_API int KRVSstorebounds(KRVSprob prob, int nbounds, const int colind[], const char bndtype[],
                             const double bndval[], void **bounds) KRVS_NOEXCEPT;
KRVS_API int KRVSsetbranchbounds(KRVSprob prob, void *bounds) KRVS_NOEXCEPT;
KRVS_API int KRVSsetbranchcuts(KRVSprob prob, int ncuts, const KRVScut cutind[]) KRVS_NOEXCEPT;
KRVS_API int KRVSgetbranchbounds(KRVSprob prob, void *bounds, int *nbounds, int maxbounds, int colind[],
                                 char bndtype[], double bndval[]) KRVS_NOEXCEPT;

/* ---- queries of the model, the solution, the basis and presolve; solution,
 *      basis and snapshot files -------------------------------------------- */
/* Value types of KRVSgetcontrolinfo and KRVSgetattribinfo. */
#define KRVS_TYPE_INT    1
#define KRVS_TYPE_INT64  2
#define KRVS_TYPE_DOUBLE 3
#define KRVS_TYPE_STRING 4
/* Id and value type of a control (attribute) given its name, in any case;
 * an unknown name fails. */
KRVS_API int KRVSgetcontrolinfo(KRVSprob prob, const char *name, int *id, int *type) KRVS_NOEXCEPT;
KRVS_API int KRVSgetattribinfo(KRVSprob prob, const char *name, int *id, int *type) KRVS_NOEXCEPT;
/* Writes the controls whose values differ from their defaults to the log. */
KRVS_API int KRVSdumpcontrols(KRVSprob prob) KRVS_NOEXCEPT;
/* Q_ij of the objective's 0.5 x'Qx, and of a row's x'Qx. */
KRVS_API int KRVSgetqobj(KRVSprob prob, int col1, int col2, double *coef) KRVS_NOEXCEPT;
KRVS_API int KRVSgetqrowcoeff(KRVSprob prob, int row, int col1, int col2, double *coef) KRVS_NOEXCEPT;
/* A row's quadratic matrix for columns first..last, by columns as
 * KRVSgetmqobj: column j lists every (j, k) entry with k >= j. */
KRVS_API int KRVSgetqrowqmatrix(KRVSprob prob, int row, int start[], int colind[], double rowqcoef[], int maxcoefs,
                                int *ncoefs, int first, int last) KRVS_NOEXCEPT;
/* One column's and one row's values of the LP (MIP) solution; an index of
 * -1 asks for nothing there, and null outputs are skipped. */
KRVS_API int KRVSgetlpsolval(KRVSprob prob, int col, int row, double *x, double *slack, double *dual,
                             double *dj) KRVS_NOEXCEPT;
KRVS_API int KRVSgetmipsolval(KRVSprob prob, int col, int row, double *x, double *slack) KRVS_NOEXCEPT;
/* Columns and rows where the LP solution breaks a bound (mx: columns, mslack:
 * rows) or where a dual value or reduced cost has the wrong sign (mdual:
 * rows, mdj: columns), against the feastol and optimalitytol controls; with
 * null arrays only the counts are set. The scaled variant measures in a
 * problem whose rows and columns are scaled by powers of two to a largest
 * coefficient of about 1. */
KRVS_API int KRVSgetinfeas(KRVSprob prob, int *npv, int *nps, int *nds, int *ndv, int mx[], int mslack[],
                           int mdual[], int mdj[]) KRVS_NOEXCEPT;
KRVS_API int KRVSgetscaledinfeas(KRVSprob prob, int *npv, int *nps, int *nds, int *ndv, int mx[], int mslack[],
                                 int mdual[], int mdj[]) KRVS_NOEXCEPT;
/* Computations on a solution the caller gives (one value per column, duals
 * one per row): objective value (constant and quadratic part included),
 * slacks rhs - activity (quadratic rows included), reduced costs
 * c + Qx - A'duals (solution may be null without a quadratic objective). */
KRVS_API int KRVScalcobjective(KRVSprob prob, const double solution[], double *objective) KRVS_NOEXCEPT;
KRVS_API int KRVScalcslacks(KRVSprob prob, const double solution[], double slacks[]) KRVS_NOEXCEPT;
KRVS_API int KRVScalcreducedcosts(KRVSprob prob, const double duals[], const double solution[],
                                  double djs[]) KRVS_NOEXCEPT;
/* Properties of KRVScalcsolinfo: the largest bound or row violation of the
 * solution (absolute, or relative to 1 + |value|), the largest sign error of
 * a reduced cost or dual (absolute, or relative to 1 + |cost| / 1 + |dual|). */
#define KRVS_SOLINFO_ABSPRIMALINFEAS 0
#define KRVS_SOLINFO_RELPRIMALINFEAS 1
#define KRVS_SOLINFO_ABSDUALINFEAS   2
#define KRVS_SOLINFO_RELDUALINFEAS   3
KRVS_API int KRVScalcsolinfo(KRVSprob prob, const double solution[], const double duals[], int property,
                             double *value) KRVS_NOEXCEPT;
/* Basis statuses. Columns: 0 at lower bound, 1 basic, 2 at upper bound,
 * 3 free nonbasic. Rows, of their slack rhs - activity: 0 slack at its
 * lower end (a tight 'L' or 'E' row, a range row at rhs), 1 basic, 2 slack
 * at its upper end (a tight 'G' row, a range row at rhs - range), 3 free.
 * Fails when there is no basis, or rows, columns or coefficients changed
 * since it was found. getbasisval: index -1 asks for nothing (status 0). */
KRVS_API int KRVSgetbasis(KRVSprob prob, int rowstat[], int colstat[]) KRVS_NOEXCEPT;
KRVS_API int KRVSgetbasisval(KRVSprob prob, int row, int col, int *rowstat, int *colstat) KRVS_NOEXCEPT;
/* Solves with the basis matrix B (columns of [I A]: row i's slack has the
 * unit column e_i), in place on a vector of one value per row: ftran gives
 * B^-1 vec, btran B^-T vec, in the order of KRVSgetpivotorder, which gives
 * the basic variable of each basis position as a combined index (row i's
 * slack i, column j rows + j). */
KRVS_API int KRVSftran(KRVSprob prob, double vec[]) KRVS_NOEXCEPT;
KRVS_API int KRVSbtran(KRVSprob prob, double vec[]) KRVS_NOEXCEPT;
KRVS_API int KRVSgetpivotorder(KRVSprob prob, int pivotorder[]) KRVS_NOEXCEPT;
/* The ratio test of bringing the nonbasic variable `enter` (combined index)
 * into the basis from the LP solution: the basic variables (or `enter`
 * itself, for a bound flip) that reach a bound first, at most maxpiv of
 * them; x (optional) receives every variable's value after the step, slacks
 * first (rows + columns values), and objval the objective then. An
 * unbounded step gives no candidates and leaves the values as they are. */
KRVS_API int KRVSgetpivots(KRVSprob prob, int enter, int outlist[], double x[], double *objval, int *npiv,
                           int maxpiv) KRVS_NOEXCEPT;
/* The interior-point solution of the last barrier solve of an LP run
 * without crossover (crossover control 0), any output may be null, and its
 * LP status (1 optimal, 4 unfinished, ...). */
KRVS_API int KRVSgetlastbarsol(KRVSprob prob, double x[], double slack[], double duals[], double djs[],
                               int *status) KRVS_NOEXCEPT;
/* A basic solution of an LP from its barrier solution (or else its LP
 * solution), found by the simplex method started at that point; it becomes
 * the LP solution and basis: *status 0. *status 1 when no optimal basis was
 * reached (within lpiterlimit): nothing changes. */
KRVS_API int KRVScrossoverlpsol(KRVSprob prob, int *status) KRVS_NOEXCEPT;
/* The discrete columns of a MIP solution fixed at their (rounded) values and
 * the continuous part optimised again: *status 0 with the result in refined;
 * 1 when the fixed values admit no feasible solution, 2 when the solution is
 * not integral where it must be (refined = solution for both). options 0 and
 * flags empty: none are defined. */
KRVS_API int KRVSrefinemipsol(KRVSprob prob, int options, const char *flags, const double solution[],
                              double refined[], int *status) KRVS_NOEXCEPT;
/* The presolved problem. KRVSlpoptimize with the flag 'k' presolves an LP,
 * solves the presolved LP and postsolves its solution and basis into the
 * problem's; the presolved problem is kept until KRVSpostsolve, the next
 * solve or a change of the model. While it is kept, attributes 1001 and
 * 1018 count its rows and columns, the queries below read it, and so do
 * KRVSftran, KRVSbtran, KRVSgetnamelist and the KRVScalc... functions;
 * KRVSgetpivotorder, KRVSgetpivots and KRVSloadpresolvebasis are refused.
 * Without one the presolved problem is the problem itself.
 *  - KRVSgetpresolvemap: the original index of each presolved row and
 *    column (either array may be null).
 *  - KRVSgetpresolvesol, KRVSgetpresolvebasis: as KRVSgetlpsol and
 *    KRVSgetbasis for the presolved problem.
 *  - KRVSpresolverow: a row in original columns rewritten in presolved
 *    ones: coefficients of kept columns (summed, zeros dropped) under their
 *    presolved indices, fixed columns moved to *rhs. *ncoefs is the total
 *    and at most maxcoefs are written; *status 0, 2 when more than maxcoefs,
 *    1 when the row uses a column presolve removed other than by fixing
 *    (*ncoefs 0). rowtype 'L', 'G', 'E' or 'N'.
 *  - KRVSpostsolve: back to the original problem; a presolved solution the
 *    solve did not postsolve (it stopped early) becomes the LP solution. */
KRVS_API int KRVSgetpresolvemap(KRVSprob prob, int rowmap[], int colmap[]) KRVS_NOEXCEPT;
KRVS_API int KRVSgetpresolvesol(KRVSprob prob, double x[], double slack[], double duals[], double djs[]) KRVS_NOEXCEPT;
KRVS_API int KRVSgetpresolvebasis(KRVSprob prob, int rowstat[], int colstat[]) KRVS_NOEXCEPT;
KRVS_API int KRVSpresolverow(KRVSprob prob, char rowtype, int norigcoefs, const int origcolind[],
                             const double origrowcoef[], double origrhs, int maxcoefs, int *ncoefs, int colind[],
                             double rowcoef[], double *rhs, int *status) KRVS_NOEXCEPT;
KRVS_API int KRVSpostsolve(KRVSprob prob) KRVS_NOEXCEPT;
/* Solution files. Writers show the best MIP solution when there is one,
 * else the LP solution, and fail when there is neither.
 *  - KRVSwritesol: CSV with the header type,index,name,value,slack,dual,
 *    reduced_cost; a C line per column (value, reduced cost) and an R line
 *    per row (activity, slack, dual); duals and reduced costs only for LP
 *    solutions; numbers with 17 significant digits.
 *  - KRVSwriteprtsol: a printable report (problem, status, objective, then
 *    a rows and a columns section).
 *  - KRVSwriteslxsol: "NAME <problem> LP|MIP", "C <column> <value>" per
 *    column, for an LP solution with duals also "R <row> <slack> <dual>"
 *    per row and "D <column> <reduced cost>" per column, then a "." line.
 *    KRVSreadslxsol reads such a file by names (missing columns are 0) and
 *    makes it the problem's MIP solution (a MIP file, or flag 'm') or LP
 *    solution (an LP file, or flag 'l'), slacks and objective computed from
 *    the values unless the file gives every slack, dual and reduced cost.
 *  - KRVSwritebinsol / KRVSreadbinsol: statuses, counters, objective values
 *    and both solutions in a binary file; reading needs the same numbers of
 *    rows and columns and restores all of it exactly (the basis stays).
 * Readers check the whole file before anything changes. */
KRVS_API int KRVSwritesol(KRVSprob prob, const char *filename, const char *flags) KRVS_NOEXCEPT;
KRVS_API int KRVSwriteprtsol(KRVSprob prob, const char *filename, const char *flags) KRVS_NOEXCEPT;
KRVS_API int KRVSwriteslxsol(KRVSprob prob, const char *filename, const char *flags) KRVS_NOEXCEPT;
KRVS_API int KRVSreadslxsol(KRVSprob prob, const char *filename, const char *flags) KRVS_NOEXCEPT;
KRVS_API int KRVSwritebinsol(KRVSprob prob, const char *filename, const char *flags) KRVS_NOEXCEPT;
KRVS_API int KRVSreadbinsol(KRVSprob prob, const char *filename, const char *flags) KRVS_NOEXCEPT;
/* The basis in the MPS basis format: "XU col row" / "XL col row" (column
 * basic, the row's slack nonbasic at its upper / lower end), "UL col"
 * (column at its upper bound), "LL col" (at its lower bound, written for
 * free columns at zero); everything else is at its default (columns at a
 * bound, rows basic). A null or empty name is "<problem name>.bss". The
 * basis read becomes the stored basis the next LP solve starts from. */
KRVS_API int KRVSwritebasis(KRVSprob prob, const char *filename, const char *flags) KRVS_NOEXCEPT;
KRVS_API int KRVSreadbasis(KRVSprob prob, const char *filename, const char *flags) KRVS_NOEXCEPT;
/* Branching directives as text: "NAME <problem>", a line
 * " UP|DN|PR <column> <priority> <up pseudo cost> <down pseudo cost>" per
 * column with a directive (UP: up branch first, DN: down first, PR: the
 * search's choice; the numbers after the column may be left out), then
 * "ENDATA". Reading replaces all directives of the problem. */
KRVS_API int KRVSwritedirs(KRVSprob prob, const char *filename) KRVS_NOEXCEPT;
KRVS_API int KRVSreaddirs(KRVSprob prob, const char *filename) KRVS_NOEXCEPT;
/* A snapshot of the whole problem (name, model with names, general and
 * piecewise-linear constraints, directives, marked rows and columns, MIP
 * starts, controls, statuses, solutions and basis; not the cut pool or
 * stored branching bounds, which are handles of the running process) in
 * "<filename>.svf" (KRVSsave: the problem's name); KRVSrestore replaces all
 * of a problem with one. */
KRVS_API int KRVSsave(KRVSprob prob) KRVS_NOEXCEPT;
KRVS_API int KRVSsaveas(KRVSprob prob, const char *filename) KRVS_NOEXCEPT;
KRVS_API int KRVSrestore(KRVSprob prob, const char *probname, const char *flags) KRVS_NOEXCEPT;
/* The same snapshot in memory: KRVSsavebuffer hands back a buffer that the
 * caller releases with KRVSfreebuffer; KRVSrestorebuffer replaces all of a
 * problem with a snapshot from either route, checked whole first. */
KRVS_API int KRVSsavebuffer(KRVSprob prob, void **data, int64_t *size) KRVS_NOEXCEPT;
KRVS_API int KRVSrestorebuffer(KRVSprob prob, const void *data, int64_t size) KRVS_NOEXCEPT;
KRVS_API void KRVSfreebuffer(void *data) KRVS_NOEXCEPT;

/* ---- analysis: sensitivity ranges, rays, irreducible infeasible sets,
 *      repair, strong branching and tuning --------------------------------- */
/* Sensitivity on the optimal basis of the last LP solve (a continuous,
 * linear model solved to optimality; anything else fails). Infinite limits
 * are +-1e20; any output may be null.
 * KRVSobjsa: the lowest and highest cost of each column for which the
 * basis stays optimal. KRVSrhssa: the range of each row's right-hand side
 * over which the basis stays feasible (a row that is not binding may move
 * to its activity). KRVSbndsa: the same for the lower and upper bound of
 * each column. */
KRVS_API int KRVSobjsa(KRVSprob prob, int ncols, const int colind[], double lower[], double upper[]) KRVS_NOEXCEPT;
KRVS_API int KRVSrhssa(KRVSprob prob, int nrows, const int rowind[], double lower[], double upper[]) KRVS_NOEXCEPT;
KRVS_API int KRVSbndsa(KRVSprob prob, int ncols, const int colind[], double lblower[], double lbupper[],
                       double ublower[], double ubupper[]) KRVS_NOEXCEPT;
/* The one-sided slopes of the optimal value in each row's right-hand side
 * (the least and largest dual value the row takes on the optimal face),
 * each from a dual simplex re-solve of at most iterlim iterations. */
KRVS_API int KRVSestimaterowdualranges(KRVSprob prob, int nrows, const int rowind[], int iterlim,
                                       double mindual[], double maxdual[]) KRVS_NOEXCEPT;
/* Rays of the last solve, each checked before it is returned; with a null
 * array only *hasray (1 or 0) is set, else a missing ray fails.
 * Primal ray d (one per column): x + t d stays feasible for every t >= 0
 * (integrality and indicator rows relaxed) and the objective improves
 * without limit along it (quadratic parts are flat along d).
 * Dual ray y (one per row): a proof of infeasibility of the rows and column
 * bounds: min over the rows' ranges of y'r > max over the column bounds of
 * (y'A)x. */
KRVS_API int KRVSgetprimalray(KRVSprob prob, double ray[], int *hasray) KRVS_NOEXCEPT;
KRVS_API int KRVSgetdualray(KRVSprob prob, double ray[], int *hasray) KRVS_NOEXCEPT;
/* The variable whose increase the primal simplex found unbounded, as a
 * combined index (row i, or rows + j for column j); -1 when the last LP
 * solve did not end unbounded. */
KRVS_API int KRVSgetunbvec(KRVSprob prob, int *seq) KRVS_NOEXCEPT;
/* A condition estimate of the basis matrix B of the last LP solve.
 * type: 0 ||B|| ||B^-1||, 1 ||B^-1|| (exact for bases of up to 200 rows,
 * else Hager's estimate, a lower bound usually within a small factor), 2 ||B||; norm: 1 the 1-norm, 0 the infinity norm;
 * scaled: 1 measures B with its columns scaled to largest entry 1. */
KRVS_API int KRVSbasisstability(KRVSprob prob, int type, int norm, int scaled, double *value) KRVS_NOEXCEPT;
/* Strong branching from the optimal basis of the last LP solve: for each k,
 * column colind[k] gets the bound bndval[k] (bndtype 'L' lower, 'U' upper,
 * 'B' both) and the LP is re-solved by the dual simplex for at most iterlim
 * iterations; objval[k] is the objective reached (+-1e20 when infeasible)
 * and status[k] the LP status (1 optimal, 2 infeasible, 4 iteration limit,
 * 5 unbounded). The model is left as it was. */
KRVS_API int KRVSstrongbranch(KRVSprob prob, int nbounds, const int colind[], const char bndtype[],
                              const double bndval[], int iterlim, double objval[], int status[]) KRVS_NOEXCEPT;

/* Irreducible infeasible sets (IIS): sets of rows and column bounds that
 * are infeasible together while every proper subset is feasible. For a
 * problem with discrete columns feasibility includes integrality.
 * KRVSiisfirst: mode 0 finds an irreducible set, mode 1 only a quick
 * infeasible subset (not reduced); *status 0 found, 1 the model is
 * feasible. Earlier sets are dropped.
 * KRVSiisnext: a set different from all found so far; *status 0 found, 1
 * there is none, 2 the search stopped at its limits.
 * KRVSiisall: every set (up to 1000), after dropping earlier ones. */
KRVS_API int KRVSiisfirst(KRVSprob prob, int mode, int *status) KRVS_NOEXCEPT;
KRVS_API int KRVSiisnext(KRVSprob prob, int *status) KRVS_NOEXCEPT;
KRVS_API int KRVSiisall(KRVSprob prob) KRVS_NOEXCEPT;
KRVS_API int KRVSiisclear(KRVSprob prob) KRVS_NOEXCEPT;
/* Number of sets found; for each (arrays may be null) its rows, its column
 * bounds, the least sum of violations of its members when they are relaxed
 * (continuous relaxation) and how many members are violated then. */
KRVS_API int KRVSiisstatus(KRVSprob prob, int *count, int rowsizes[], int colsizes[], double suminfeas[],
                           int numinfeas[]) KRVS_NOEXCEPT;
/* Set number num (from 1): its rows (with their types) and column bounds
 * ('L' lower, 'U' upper), the Farkas multipliers of its rows (duals) and
 * bounds (djs = -(y'A)_j), and the isolation flags of its members (-1 not
 * tested, 0 no, 1 yes: relaxing it alone makes the whole model feasible).
 * Any array may be null; *nrows and *ncols receive the counts. */
KRVS_API int KRVSgetiisdata(KRVSprob prob, int num, int *nrows, int *ncols, int rowind[], int colind[],
                            char contype[], char bndtype[], double duals[], double djs[], char isolationrows[],
                            char isolationcols[]) KRVS_NOEXCEPT;
KRVS_API int KRVSiisisolations(KRVSprob prob, int num) KRVS_NOEXCEPT;
/* Writes set num as a model with a zero objective: its rows, and the
 * columns in them with only the set's bounds (others free). filetype 0 LP
 * format, 1 MPS. */
KRVS_API int KRVSiiswrite(KRVSprob prob, int num, const char *filename, int filetype,
                          const char *flags) KRVS_NOEXCEPT;

/* Repair of an infeasible model: the least relaxation of rows and bounds,
 * by preference (a preference p > 0 makes a unit of violation cost 1/p;
 * p <= 0: that side cannot move). penalty 'l' sum of violations, 'q' sum of
 * their squares, 'c' number of violated rows and bounds. phase2 'o' then
 * optimises the original objective within the relaxation (the total
 * penalty may grow by the factor 1 + delta; with 'q' each violation by that
 * factor), 'n' stops after the relaxation. flags 'g' enforces discrete
 * entities, 'n' the continuous relaxation. The relaxed solution becomes the
 * problem's solution (getlpsol, and getmipsol when discrete entities were
 * enforced). *status: 0 relaxed optimum found, 1 the relaxation is
 * infeasible too, 2 unbounded in phase two, 3 stopped at a limit. */
KRVS_API int KRVSrepairinfeas(KRVSprob prob, int *status, char penalty, char phase2, char flags, double lepref,
                              double gepref, double lbpref, double ubpref, double delta) KRVS_NOEXCEPT;
/* Per row (lepref: the <= side, gepref: the >= side) and per column
 * preferences; flags: the algorithm ('d', 'p', 'b') and 'g' to enforce
 * discrete entities. The penalty is the weighted sum of violations. */
KRVS_API int KRVSrepairweightedinfeas(KRVSprob prob, int *status, const double lepref[], const double gepref[],
                                      const double lbpref[], const double ubpref[], char phase2, double delta,
                                      const char *flags) KRVS_NOEXCEPT;
/* As above, and each violation at most the given amount (1e20: no limit). */
KRVS_API int KRVSrepairweightedinfeasbounds(KRVSprob prob, int *status, const double lepref[],
                                            const double gepref[], const double lbpref[], const double ubpref[],
                                            const double lerelax[], const double gerelax[],
                                            const double lbrelax[], const double ubrelax[], char phase2,
                                            double delta, const char *flags) KRVS_NOEXCEPT;

/* Tuning: solves the model under a set of control combinations (presolve,
 * LP algorithm, scaling, crossover, MIP heuristic effort) within the time
 * limit, keeps the fastest, sets its controls and keeps its results.
 * flags as for KRVSlpoptimize, plus 'g' to tune the MIP solve. */
KRVS_API int KRVStune(KRVSprob prob, const char *flags) KRVS_NOEXCEPT;
/* Method files: plain text, a first line "korvo tuner method 1", then one
 * "name = value" line per control; '#' starts a comment. Reading sets the
 * controls (all of them checked first). */
KRVS_API int KRVStunerwritemethod(KRVSprob prob, const char *methodfile) KRVS_NOEXCEPT;
KRVS_API int KRVStunerreadmethod(KRVSprob prob, const char *methodfile) KRVS_NOEXCEPT;

/* ---- branching objects ------------------------------------------------
 * A branching object divides a node of the engine's tree search into its
 * branches: each child node imposes the bounds, rows and cut-pool cuts of
 * one branch on top of the node's own. Columns are the model's (whether
 * the object was made for the original problem, isoriginal 1, or the
 * presolved one makes no difference: the search works on the model's own
 * columns). Bound types: 'L' lower, 'U' upper, 'B' both (fixes the
 * column); bounds of integer columns are rounded inwards when applied.
 * Row types 'L' (<=), 'G' (>=), 'E' (=).
 * An object is owned by its caller until KRVS_bo_store hands it to the
 * problem: stored during a solve (from a callback) it is the branching of
 * the node being processed; stored outside a solve, of the root of the next
 * tree search. It is used when the search divides that node (a node whose
 * relaxation gives an accepted solution is not divided). Objects handed to
 * chgbranchobject callbacks belong to the search: they can be read and
 * changed there, not stored or destroyed. KRVS_bo_getlasterror reads the
 * object's own last error (a null object: the global one). */
#define KRVS_BO_VALID 0
#define KRVS_BO_NO_BRANCHES 1     /* no branch at all */
#define KRVS_BO_BAD_COLUMN 2      /* a column the model does not have (any more) */
#define KRVS_BO_BAD_BOUND 3       /* a bound type or value that is not allowed */
#define KRVS_BO_BAD_ROW 4         /* a row type or number that is not allowed */
#define KRVS_BO_BAD_CUT 5         /* a cut that is no longer in the cut pool */
#define KRVS_BO_BAD_PREFERRED 6   /* the preferred branch does not exist */
KRVS_API int KRVS_bo_create(KRVSbranchobject *object, KRVSprob prob, int isoriginal) KRVS_NOEXCEPT;
KRVS_API int KRVS_bo_destroy(KRVSbranchobject object) KRVS_NOEXCEPT;
/* Checks the object and hands it to the problem; *node (may be null)
 * receives the node it is stored for (1: the root). An invalid object is
 * refused with the problem's last error and stays the caller's. */
KRVS_API int KRVS_bo_store(KRVSbranchobject object, int *node) KRVS_NOEXCEPT;
/* *status: one of the KRVS_BO_ codes (the object's last error says why). */
KRVS_API int KRVS_bo_validate(KRVSbranchobject object, int *status) KRVS_NOEXCEPT;
/* Adds nbranches empty branches after the existing ones. */
KRVS_API int KRVS_bo_addbranches(KRVSbranchobject object, int nbranches) KRVS_NOEXCEPT;
KRVS_API int KRVS_bo_getbranches(KRVSbranchobject object, int *nbranches) KRVS_NOEXCEPT;
KRVS_API int KRVS_bo_addbounds(KRVSbranchobject object, int ibranch, int nbounds, const char bndtype[],
                               const int colind[], const double bndval[]) KRVS_NOEXCEPT;
/* *nbounds receives the branch's count; at most maxbounds entries are
 * written (null outputs allowed). */
KRVS_API int KRVS_bo_getbounds(KRVSbranchobject object, int ibranch, int *nbounds, int maxbounds, char bndtype[],
                               int colind[], double bndval[]) KRVS_NOEXCEPT;
/* Rows: start has nrows + 1 entries, start[nrows] == nelems. */
KRVS_API int KRVS_bo_addrows(KRVSbranchobject object, int ibranch, int nrows, int nelems, const char rowtype[],
                             const double rhs[], const int start[], const int colind[],
                             const double rowcoef[]) KRVS_NOEXCEPT;
/* *nrows and *nelems receive the branch's counts; the first maxrows rows
 * are written (types, right-hand sides, maxrows + 1 starts or fewer: one
 * more than the rows written) with at most maxelems coefficients. */
KRVS_API int KRVS_bo_getrows(KRVSbranchobject object, int ibranch, int *nrows, int maxrows, int *nelems,
                             int maxelems, char rowtype[], double rhs[], int start[], int colind[],
                             double rowcoef[]) KRVS_NOEXCEPT;
/* Cuts of the pool (KRVSstorecuts64 / KRVSaddcuts64 handles), imposed as
 * rows by the branch; their rows are read when the branch is made. */
KRVS_API int KRVS_bo_addcuts(KRVSbranchobject object, int ibranch, int ncuts, const KRVScut cutind[]) KRVS_NOEXCEPT;
/* Number of the object, unique within the process. */
KRVS_API int KRVS_bo_getid(KRVSbranchobject object, int *id) KRVS_NOEXCEPT;
/* Among objects stored for the same node the lowest priority is used. */
KRVS_API int KRVS_bo_setpriority(KRVSbranchobject object, int priority) KRVS_NOEXCEPT;
/* The branch explored first (-1: the search's choice). */
KRVS_API int KRVS_bo_setpreferredbranch(KRVSbranchobject object, int ibranch) KRVS_NOEXCEPT;
/* *code 0 when there was no error; msg receives at most maxbytes bytes
 * (terminated), *msglen (may be null) the text's full length. */
KRVS_API int KRVS_bo_getlasterror(KRVSbranchobject object, int *code, char msg[], int maxbytes,
                                  int *msglen) KRVS_NOEXCEPT;

/* ---- optimizer callbacks ----------------------------------------------
 * Every kind has KRVSaddcb<kind>(prob, fn, data, priority) and
 * KRVSremovecb<kind>(prob, fn, data); callbacks of a kind are called in
 * priority order (highest first, then registration order). A null fn in a
 * remove call removes every registration of the kind (those with `data`
 * when data is not null). The message kind is KRVSaddcbmessage above.
 * Callbacks run on the solving thread; `prob` is the problem being solved.
 * Node numbers count from 1 (the root); during a callback the solution
 * queries return the node's relaxation (KRVSgetlpsol) and the incumbent
 * (KRVSgetmipsol), and the search attributes are current. */
typedef void (*KRVScbbariteration_fn)(KRVSprob prob, void *data, int *action); /* nonzero action stops */
typedef int (*KRVScbbarlog_fn)(KRVSprob prob, void *data);                    /* nonzero stops */
/* The candidate (branching on one column) may be replaced by another object
 * through *newobject; the engine takes over the replacement. */
typedef void (*KRVScbchgbranchobject_fn)(KRVSprob prob, void *data, KRVSbranchobject candidate,
                                         KRVSbranchobject *newobject);
typedef int (*KRVScbcutlog_fn)(KRVSprob prob, void *data);
typedef void (*KRVScbdestroymt_fn)(KRVSprob prob, void *data);
/* The four targets in and out; a negative target is off. */
typedef void (*KRVScbgapnotify_fn)(KRVSprob prob, void *data, double *relgaptarget, double *absgaptarget,
                                   double *absobjtarget, double *absboundtarget);
typedef int (*KRVScbgloballog_fn)(KRVSprob prob, void *data);
typedef void (*KRVScbinfnode_fn)(KRVSprob prob, void *data);
typedef void (*KRVScbintsol_fn)(KRVSprob prob, void *data);
typedef int (*KRVScblplog_fn)(KRVSprob prob, void *data);
typedef void (*KRVScbmipthread_fn)(KRVSprob prob, void *data, KRVSprob threadprob);
typedef void (*KRVScbnewnode_fn)(KRVSprob prob, void *data, int parentnode, int node, int branch);
typedef void (*KRVScbnodecutoff_fn)(KRVSprob prob, void *data, int node);
typedef void (*KRVScboptnode_fn)(KRVSprob prob, void *data, int *infeasible); /* nonzero: drop the node */
/* soltype 0: the node's relaxation is integral; 1: a heuristic solution. */
typedef void (*KRVScbpreintsol_fn)(KRVSprob prob, void *data, int soltype, int *reject, double *cutoff);
typedef void (*KRVScbprenode_fn)(KRVSprob prob, void *data, int *infeasible);
typedef void (*KRVScbusersolnotify_fn)(KRVSprob prob, void *data, const char *solname, int status);
typedef int (*KRVScbchecktime_fn)(KRVSprob prob, void *data); /* nonzero stops */

/* Strong branching as KRVSstrongbranch, with solvecb(prob, data, k)
 * called after the re-solve of bound change k (objval[k] and status[k]
 * are set by then); a nonzero result or KRVSinterrupt ends it, the changes
 * left getting status 0 and objective 0. */
typedef int (*KRVSstrongbranchsolve_fn)(KRVSprob prob, void *data, int branch);
KRVS_API int KRVSstrongbranchcb(KRVSprob prob, int nbounds, const int colind[], const char bndtype[],
                                const double bndval[], int iterlim, double objval[], int status[],
                                KRVSstrongbranchsolve_fn solvecb, void *data) KRVS_NOEXCEPT;

#define KRVS_CALLBACK_DECL(kind)                                                                     \
  KRVS_API int KRVSaddcb##kind(KRVSprob prob, KRVScb##kind##_fn fn, void *data, int priority) KRVS_NOEXCEPT; \
  KRVS_API int KRVSremovecb##kind(KRVSprob prob, KRVScb##kind##_fn fn, void *data) KRVS_NOEXCEPT;
KRVS_CALLBACK_DECL(bariteration)
KRVS_CALLBACK_DECL(barlog)
KRVS_CALLBACK_DECL(chgbranchobject)
KRVS_CALLBACK_DECL(cutlog)
KRVS_CALLBACK_DECL(destroymt)
KRVS_CALLBACK_DECL(gapnotify)
KRVS_CALLBACK_DECL(globallog)
KRVS_CALLBACK_DECL(infnode)
KRVS_CALLBACK_DECL(intsol)
KRVS_CALLBACK_DECL(lplog)
KRVS_CALLBACK_DECL(mipthread)
KRVS_CALLBACK_DECL(newnode)
KRVS_CALLBACK_DECL(nodecutoff)
KRVS_CALLBACK_DECL(optnode)
KRVS_CALLBACK_DECL(preintsol)
KRVS_CALLBACK_DECL(prenode)
KRVS_CALLBACK_DECL(usersolnotify)
KRVS_CALLBACK_DECL(checktime)
#undef KRVS_CALLBACK_DECL

#ifdef __cplusplus
}
#endif
#endif /* KRVS_H */
