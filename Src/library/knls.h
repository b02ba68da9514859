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
/* Resets one control (id as from KNLScontrolcode) to its default value. */
KRVS_API int KNLSsetdefaultcontrol(KNLSprob nlprob, int id) KRVS_NOEXCEPT;
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


/* ---- formulas -----------------------------------------------------------
 * A formula is a run of (type, value) tokens in reverse Polish order, ended
 * by an end token. Several formulas share two parallel arrays type[] and
 * value[]; formula k occupies positions formulastart[k] ..
 * formulastart[k+1]-1 (formulastart has ncoefs + 1 entries). Only parsed
 * (reverse Polish, parsed = 1) formulas are accepted.
 *
 * A nonlinear coefficient (row r, column c, factor f, formula F) adds
 * f * x_c * F(x) to row r; column -1 (integer attribute 12013) multiplies
 * nothing, the term is then f * F(x). A null factor array means 1.0. Several
 * coefficients may share one (row, column) pair; their terms add up. */
#define KNLS_TOK_EOF     0  /* end of formula, value 0 */
#define KNLS_TOK_CON     1  /* constant, value the number */
#define KNLS_TOK_COL    10  /* column, value its 0-based index */
#define KNLS_TOK_FUN    11  /* user function, value its 1-based index */
#define KNLS_TOK_IFUN   12  /* internal function, value a KNLS_IFUN_ code */
#define KNLS_TOK_DEL    22  /* argument-list delimiter before a function's arguments, value 0 */
#define KNLS_TOK_OP     31  /* operator, value a KNLS_OP_ code */

#define KNLS_OP_UMINUS   1  /* -a */
#define KNLS_OP_EXPONENT 2  /* a ^ b */
#define KNLS_OP_MULTIPLY 3  /* a * b */
#define KNLS_OP_DIVIDE   4  /* a / b */
#define KNLS_OP_PLUS     5  /* a + b */
#define KNLS_OP_MINUS    6  /* a - b */

/* Internal functions. Unary ones take one argument; MIN, MAX, AND and OR any
 * number; PWL the list t, x0, y0, x1, y1, ... (argument t on top of the
 * stack, i.e. written last): piecewise linear through the points (xi, yi),
 * right-continuous at jumps, extended along the first and last segments.
 * AND is 0 as soon as an argument is at most the tolerance 5e-6, else 1; OR
 * is 1 as soon as an argument exceeds 1 - 5e-6, else 0. */
#define KNLS_IFUN_LOG10 14
#define KNLS_IFUN_LN    15
#define KNLS_IFUN_EXP   16
#define KNLS_IFUN_ABS   17
#define KNLS_IFUN_SQRT  18
#define KNLS_IFUN_SIN   27
#define KNLS_IFUN_COS   28
#define KNLS_IFUN_TAN   29
#define KNLS_IFUN_ARCSIN 30
#define KNLS_IFUN_ARCCOS 31
#define KNLS_IFUN_ARCTAN 32
#define KNLS_IFUN_MIN   33
#define KNLS_IFUN_MAX   34
#define KNLS_IFUN_PWL   35
#define KNLS_IFUN_SIGN  46
#define KNLS_IFUN_ERF   49
#define KNLS_IFUN_ERFC  50
#define KNLS_IFUN_AND   51
#define KNLS_IFUN_OR    52

KRVS_API int KNLSaddcoefs(KNLSprob nlprob, int ncoefs, const int rowindex[], const int colindex[],
                          const double factor[], const int formulastart[], int parsed, const int type[],
                          const double value[]) KRVS_NOEXCEPT;
/* As KNLSaddcoefs after deleting every coefficient. */
KRVS_API int KNLSloadcoefs(KNLSprob nlprob, int ncoefs, const int rowindex[], const int colindex[],
                           const double factor[], const int formulastart[], int parsed, const int type[],
                           const double value[]) KRVS_NOEXCEPT;
/* Replaces the coefficients at (row, col) by one (null factor: 1.0); a null
 * type array deletes them. */
KRVS_API int KNLSchgcoef(KNLSprob nlprob, int row, int col, const double *factor, int parsed,
                         const int type[], const double value[]) KRVS_NOEXCEPT;
/* With null arrays only *ncoefs is set; otherwise the row and column of every
 * coefficient, in the order they were added. */
KRVS_API int KNLSgetcoefs(KNLSprob nlprob, int *ncoefs, int rowindex[], int colindex[]) KRVS_NOEXCEPT;
/* Deletes every coefficient at each (rowindex[k], colindex[k]). */
KRVS_API int KNLSdelcoefs(KNLSprob nlprob, int ncoefs, const int rowindex[], const int colindex[]) KRVS_NOEXCEPT;
/* The first coefficient at (row, col): its factor and at most buffersize
 * tokens (end token included); *ntokens is the formula's length including
 * the end token, also when the buffer is too short (type/value may be null). */
KRVS_API int KNLSgetcoefformula(KNLSprob nlprob, int row, int col, double *factor, int parsed, int buffersize,
                                int *ntokens, int type[], double value[]) KRVS_NOEXCEPT;
/* Value of the terms at (row, col), f * x_c * F(x) summed, at the current
 * point (the last solution, else the start point). */
KRVS_API int KNLSevaluatecoef(KNLSprob nlprob, int row, int col, double *value) KRVS_NOEXCEPT;
/* Value of one formula at the current point. */
KRVS_API int KNLSevaluateformula(KNLSprob nlprob, int parsed, const int type[], const double value[],
                                 double *result) KRVS_NOEXCEPT;

/* As KNLSevaluateformula, also giving the exact partial derivatives:
 * gradient has one entry per column (0 for columns the formula does not
 * read). */
KRVS_API int KNLSevaluateformulagradient(KNLSprob nlprob, int parsed, const int type[], const double value[],
                                         double *result, double gradient[]) KRVS_NOEXCEPT;
/* As KNLSevaluateformulagradient (gradient may be null), also giving the
 * exact second derivatives: the lower triangle (row >= col) of the
 * formula's Hessian on its structural pattern, *nentries entries
 * (hrow[k], hcol[k], hval[k]) sorted by column then row. With null
 * hrow/hcol/hval only *nentries is set; otherwise they hold maxentries. */
KRVS_API int KNLSevaluateformulahessian(KNLSprob nlprob, int parsed, const int type[], const double value[],
                                        double *result, double gradient[], int maxentries, int *nentries,
                                        int hrow[], int hcol[], double hval[]) KRVS_NOEXCEPT;
/* The Hessian of the Lagrangian objweight * q(x) + sum_r rowweight[r] * h_r(x)
 * at the current point: h_r the nonlinear part of row r (its formula
 * coefficients and quadratic terms), q the objective's quadratic part;
 * rowweight has one entry per row. Output as KNLSevaluateformulahessian. */
KRVS_API int KNLSevaluatelagrangianhessian(KNLSprob nlprob, const double rowweight[], double objweight,
                                           int maxentries, int *nentries, int hrow[], int hcol[],
                                           double hval[]) KRVS_NOEXCEPT;

/* ---- SLP variables and rows ---------------------------------------------
 * Every pointer argument may be null, which leaves that item unchanged.
 * detrow: the row that determines the column (-1 none); initstepbound and
 * stepbound: the step bound used at the first and at the current iteration
 * (0 automatic); penalty, damp: kept for the caller; initial: the start
 * value; value: the current value; tolset, history, converged, vartype:
 * kept for the caller. */
KRVS_API int KNLSchgvar(KNLSprob nlprob, int col, const int *detrow, const double *initstepbound,
                        const double *stepbound, const double *penalty, const double *damp,
                        const double *initial, const double *value, const int *tolset, const int *history,
                        const int *converged, const int *vartype) KRVS_NOEXCEPT;
/* The items of KNLSchgvar in the same order, then delta, penaltydelta and
 * updaterow (ints) and the previous value (double); null outputs skipped. */
KRVS_API int KNLSgetvar(KNLSprob nlprob, int col, int *detrow, double *initstepbound, double *stepbound,
                        double *penalty, double *damp, double *initial, double *value, int *tolset,
                        int *history, int *converged, int *vartype, int *delta, int *penaltydelta,
                        int *updaterow, double *oldvalue) KRVS_NOEXCEPT;
/* Drops the SLP settings of the given columns (the columns stay). */
KRVS_API int KNLSdelvars(KNLSprob nlprob, int nvars, const int colindex[]) KRVS_NOEXCEPT;

/* Row status bits. */
#define KNLS_ROW_OBJTRANSFER 0x800 /* the row defines the objective transfer column */
KRVS_API int KNLSgetrowstatus(KNLSprob nlprob, int row, int *status) KRVS_NOEXCEPT;
KRVS_API int KNLSchgrowstatus(KNLSprob nlprob, int row, const int *status) KRVS_NOEXCEPT;

/* ---- user functions -------------------------------------------------------
 * Entry point of a user function: input holds its arguments; context is the
 * engine's call context (KNLSgetfuncinfo, KNLSgetfuncobject); deltas, when
 * not null, marks with a non-zero entry each input whose partial derivative
 * is wanted; output receives the value in output[0] (when KNLSgetfuncinfo
 * says so) and the partial derivative with respect to input i in
 * output[i+1]. Returns the value (0.0 when the value went to output[0]). */
typedef double (*KNLSuserfunc_fn)(const double *input, void *context, const double *deltas, double *output);

/* Stores a string; *index receives its 1-based index (used as a value of
 * KNLSadduserfuncs tokens of type KNLS_UF_STRING). */
KRVS_API int KNLSsetstring(KNLSprob nlprob, int *index, const char *text) KRVS_NOEXCEPT;
/* User-function definitions: each a run of (type, value) tokens ended by a
 * type-0 token: KNLS_UF_STRING (first: the name, second: the linkage, a
 * KNLSsetstring index), KNLS_UF_OUTPUTS (number of results, 1),
 * KNLS_UF_FLAGS (call flags; bit KNLS_UF_DERIVATIVES set: the function
 * returns its partial derivatives). New functions get the next 1-based
 * indices. */
#define KNLS_UF_STRING        5
#define KNLS_UF_FLAGS        86
#define KNLS_UF_OUTPUTS      87
#define KNLS_UF_DERIVATIVES 0x10000
KRVS_API int KNLSadduserfuncs(KNLSprob nlprob, int nuserfuncs, const int type[], const double value[]) KRVS_NOEXCEPT;
/* Names: type 5 user functions (first..last, 1-based), zero-terminated names
 * one after the other. */
KRVS_API int KNLSaddnames(KNLSprob nlprob, int type, const char names[], int first, int last) KRVS_NOEXCEPT;
KRVS_API int KNLSchguserfuncaddress(KNLSprob nlprob, int index, KNLSuserfunc_fn address) KRVS_NOEXCEPT;
/* An opaque object kept with user function index (owned by the caller). */
KRVS_API int KNLSsetuserfuncobject(KNLSprob nlprob, int index, void *object) KRVS_NOEXCEPT;
KRVS_API int KNLSgetuserfuncobject(KNLSprob nlprob, int index, void **object) KRVS_NOEXCEPT;
/* The call flags a user function was defined with (KNLS_UF_DERIVATIVES...). */
KRVS_API int KNLSgetuserfuncflags(KNLSprob nlprob, int index, int *flags) KRVS_NOEXCEPT;
/* Inside a user-function call: id KNLS_FUNCOBJ_NLPROB gives the nonlinear
 * problem. */
KRVS_API int KNLSgetfuncobject(void *context, int id, void **object) KRVS_NOEXCEPT;
/* Inside a user-function call: the number of inputs, 1 when the value is
 * wanted in output[0], 1 when partial derivatives are wanted, and the
 * function's 1-based index; any output may be null. */
KRVS_API int KNLSgetfuncinfo(void *context, int *ninputs, int *value_in_output, int *derivatives,
                             int *index) KRVS_NOEXCEPT;

/* ---- solving ---------------------------------------------------------------
 * Flags: 'g' solves the linearisations as MIPs when columns are integer
 * (mixed-integer SLP); without 'g' integer columns are relaxed. The result
 * is in integer attribute 12044 (KNLS_NLP_...), the objective value
 * (including the constant) in double attribute 12179. Returns 0 whenever
 * the solve ran, whatever its status; non-zero on errors (bad input, an
 * evaluation that fails at the start point, a user function that raises). */
#define KNLS_NLP_UNSTARTED          0
#define KNLS_NLP_LOCALLY_OPTIMAL    1
#define KNLS_NLP_GLOBALLY_OPTIMAL   2
#define KNLS_NLP_LOCALLY_INFEASIBLE 3
#define KNLS_NLP_INFEASIBLE         4
#define KNLS_NLP_UNBOUNDED          5
#define KNLS_NLP_UNFINISHED         6
/* State flags, integer attribute 12062. */
#define KNLS_STATE_CONSTRUCTED 0x1
#define KNLS_STATE_PRESOLVED   0x20000000
KRVS_API int KNLSnlpoptimize(KNLSprob nlprob, const char *flags) KRVS_NOEXCEPT;
/* As KNLSnlpoptimize with flag 'g'. */
KRVS_API int KNLSglobal(KNLSprob nlprob) KRVS_NOEXCEPT;
/* Asks a running solve to stop (any thread; reason 9: user stop). */
KRVS_API int KNLSinterrupt(KNLSprob nlprob, int reason) KRVS_NOEXCEPT;
KRVS_API int KNLSconstruct(KNLSprob nlprob) KRVS_NOEXCEPT;
KRVS_API int KNLSunconstruct(KNLSprob nlprob) KRVS_NOEXCEPT;
KRVS_API int KNLSpresolve(KNLSprob nlprob) KRVS_NOEXCEPT;
KRVS_API int KNLSpostsolve(KNLSprob nlprob) KRVS_NOEXCEPT;
/* Solution of the last solve, one entry per column (x, djs) or per row
 * (slack = rhs - activity, duals); any output may be null. */
KRVS_API int KNLSgetslpsol(KNLSprob nlprob, double x[], double slack[], double duals[], double djs[]) KRVS_NOEXCEPT;

/* ---- solve callbacks ------------------------------------------------------
 * Every event keeps a list of registrations, called in registration order
 * on the thread that raises the event, with the nonlinear problem and the
 * data given at registration. KNLSaddcb<event> appends a registration;
 * KNLSremovecb<event> removes those whose function and data match (a null
 * function or null data matches any). The events:
 *   construct      the solve has built its structures (before slpstart);
 *                  non-zero stops the solve before any iteration
 *   slpstart       start of a solve; non-zero stops it before any iteration
 *   iterstart      start of each SLP iteration; non-zero stops the solve
 *   cascadestart   before the determined columns are recomputed (cascading,
 *                  KNLScascade); non-zero skips this cascade
 *   drcol          a determined column's recomputed value, in *value; the
 *                  registration may change it (kept within lb..ub)
 *   cascadevar     a determined column was recomputed; non-zero restores
 *                  its previous value
 *   cascadevarfail a determined column could not bring its row within its
 *                  bounds; non-zero stops the solve
 *   cascadeend     after the determined columns were recomputed; non-zero
 *                  stops the solve
 *   coefevalerror  a coefficient (row, col; col -1 for a formula that
 *                  multiplies no column) could not be evaluated at a point
 *                  the solve tried; non-zero stops the solve, otherwise the
 *                  point is refused as usual
 *   iterend        end of each SLP iteration; non-zero stops the solve
 *   itervar        after iterend, for every column in a nonlinear term;
 *                  the result is ignored
 *   prenode        before a node's local solve (the integer-fixed polish of
 *                  a mixed-integer SLP, a node of KNLSglobal); *infeasible
 *                  set non-zero drops the node
 *   slpnode        before the SLP at a node; non-zero skips that SLP
 *   optnode        after a node's solve; *infeasible set non-zero drops
 *                  the node's result
 *   intsol         a new integer-feasible (KNLSglobal: best) solution
 *   msjobstart     before a multistart job (job_object, description);
 *                  *status set non-zero skips the job
 *   msjobend       after a job; *status set non-zero keeps its result out
 *                  of the choice of the winner
 *   mswinner       the job whose result is kept (null object and empty
 *                  description for the plain start)
 *   slpend         end of a solve, the solution in place
 *   destroy        the solve's structures are released (after slpend)
 *   message        every line of the solver's log, whether or not the log
 *                  is written (msgtype 1 information)
 * A callback that wants the solve to stop for good calls KNLSinterrupt.
 * Multistart jobs solve copies of the problem that raise no iteration
 * events; the problem itself raises the job events. */
typedef int (*KNLScallback_fn)(KNLSprob nlprob, void *user_data);
typedef int (*KNLScolcallback_fn)(KNLSprob nlprob, void *user_data, int col);
typedef int (*KNLScoefcallback_fn)(KNLSprob nlprob, void *user_data, int row, int col);
typedef int (*KNLSdrcolcallback_fn)(KNLSprob nlprob, void *user_data, int col, double *value, double lb,
                                    double ub);
typedef int (*KNLSjobcallback_fn)(KNLSprob nlprob, void *user_data, void *job_object, const char *description,
                                  int *status);
typedef void (*KNLSnodecallback_fn)(KNLSprob nlprob, void *user_data, int *infeasible);
KRVS_API int KNLSaddcbcascadeend(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecbcascadeend(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSaddcbcascadestart(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecbcascadestart(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSaddcbcascadevar(KNLSprob nlprob, KNLScolcallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecbcascadevar(KNLSprob nlprob, KNLScolcallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSaddcbcascadevarfail(KNLSprob nlprob, KNLScolcallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecbcascadevarfail(KNLSprob nlprob, KNLScolcallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSaddcbcoefevalerror(KNLSprob nlprob, KNLScoefcallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecbcoefevalerror(KNLSprob nlprob, KNLScoefcallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSaddcbconstruct(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecbconstruct(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSaddcbdestroy(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecbdestroy(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSaddcbdrcol(KNLSprob nlprob, KNLSdrcolcallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecbdrcol(KNLSprob nlprob, KNLSdrcolcallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSaddcbiterend(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecbiterend(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSaddcbiterstart(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecbiterstart(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSaddcbitervar(KNLSprob nlprob, KNLScolcallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecbitervar(KNLSprob nlprob, KNLScolcallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSaddcbmsjobend(KNLSprob nlprob, KNLSjobcallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecbmsjobend(KNLSprob nlprob, KNLSjobcallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSaddcbmsjobstart(KNLSprob nlprob, KNLSjobcallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecbmsjobstart(KNLSprob nlprob, KNLSjobcallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSaddcbmswinner(KNLSprob nlprob, KNLSjobcallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecbmswinner(KNLSprob nlprob, KNLSjobcallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSaddcbslpend(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecbslpend(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSaddcbslpnode(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecbslpnode(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSaddcbslpstart(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecbslpstart(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSaddcbmessage(KNLSprob nlprob, KNLSmessage_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecbmessage(KNLSprob nlprob, KNLSmessage_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSaddcbintsol(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecbintsol(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSaddcboptnode(KNLSprob nlprob, KNLSnodecallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecboptnode(KNLSprob nlprob, KNLSnodecallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSaddcbprenode(KNLSprob nlprob, KNLSnodecallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSremovecbprenode(KNLSprob nlprob, KNLSnodecallback_fn fn, void *user_data) KRVS_NOEXCEPT;
/* Replace every registration of the event by fn (null: none). */
KRVS_API int KNLSsetcbslpstart(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSsetcbslpend(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSsetcbiterstart(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;
KRVS_API int KNLSsetcbiterend(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) KRVS_NOEXCEPT;

/* ---- SLP items: variables, tolerance sets, delta factors, rows, cascading
 * KNLSaddvars sets, for each colindex[k], the SLP items given by the
 * arrays (any array but colindex may be null: that item is left as it is):
 * vartype, detrow (-1 none), seqnum (cascading order, 0 none), tolindex
 * (1-based tolerance set, 0 none), initvalue (start value), stepbound (a
 * cap on the column's step, 0 none). KNLSloadvars first drops every
 * column's SLP items. */
KRVS_API int KNLSaddvars(KNLSprob nlprob, int nvars, const int colindex[], const int vartype[],
                         const int detrow[], const int seqnum[], const int tolindex[],
                         const double initvalue[], const double stepbound[]) KRVS_NOEXCEPT;
KRVS_API int KNLSloadvars(KNLSprob nlprob, int nvars, const int colindex[], const int vartype[],
                          const int detrow[], const int seqnum[], const int tolindex[],
                          const double initvalue[], const double stepbound[]) KRVS_NOEXCEPT;
/* Tolerance sets of nine tolerances each (nonnegative): 0 absolute step,
 * 1 relative step, 2 absolute objective change, 3 relative objective
 * change, 4 absolute impact, 5 relative impact, 6 absolute slack, 7
 * relative slack, 8 closure. Sets are numbered from 1; status bit (1 << k)
 * marks tolerance k as used (added sets use the tolerances that are
 * positive). KNLSloadtolsets replaces every set. */
#define KNLS_TOLS_PER_SET 9
KRVS_API int KNLSaddtolsets(KNLSprob nlprob, int ntolsets, const double tol[]) KRVS_NOEXCEPT;
KRVS_API int KNLSloadtolsets(KNLSprob nlprob, int ntolsets, const double tol[]) KRVS_NOEXCEPT;
/* tolset 1-based; status null keeps the status; tols null keeps the values. */
KRVS_API int KNLSchgtolset(KNLSprob nlprob, int tolset, const int *status, const double tols[]) KRVS_NOEXCEPT;
KRVS_API int KNLSgettolset(KNLSprob nlprob, int tolset, int *status, double tols[]) KRVS_NOEXCEPT;
/* Deletes the given 1-based sets; later sets move down and columns that
 * used a deleted set use none. */
KRVS_API int KNLSdeltolsets(KNLSprob nlprob, int ntolsets, const int index[]) KRVS_NOEXCEPT;
/* Delta factors of (column, row) pairs. KNLSchgdf: value null deletes the
 * factor; *value receives the previous one (0 when there was none).
 * KNLSgetdf fails when the pair has none. */
KRVS_API int KNLSadddfs(KNLSprob nlprob, int ndfs, const int colindex[], const int rowindex[],
                        const double value[]) KRVS_NOEXCEPT;
KRVS_API int KNLSloaddfs(KNLSprob nlprob, int ndfs, const int colindex[], const int rowindex[],
                         const double value[]) KRVS_NOEXCEPT;
KRVS_API int KNLSchgdf(KNLSprob nlprob, int col, int row, double *value) KRVS_NOEXCEPT;
KRVS_API int KNLSgetdf(KNLSprob nlprob, int col, int row, double *value) KRVS_NOEXCEPT;
/* Row weight: multiplies the penalty of the row's violation in the SLP
 * (positive; default 1). */
KRVS_API int KNLSchgrowwt(KNLSprob nlprob, int row, const double *weight) KRVS_NOEXCEPT;
KRVS_API int KNLSgetrowwt(KNLSprob nlprob, int row, double *weight) KRVS_NOEXCEPT;
/* Delta types: 0 relative, 1 absolute; values positive. */
KRVS_API int KNLSchgdeltatype(KNLSprob nlprob, int nvars, const int varind[], const int deltatypes[],
                              const double values[]) KRVS_NOEXCEPT;
/* The most Newton steps spent on a determined column when cascading. */
KRVS_API int KNLSchgcascadenlimit(KNLSprob nlprob, int col, int limit) KRVS_NOEXCEPT;
/* Orders the determined columns (those with a determining row) so that each
 * comes after the determined columns its row reads; ties by seqnum. */
KRVS_API int KNLScascadeorder(KNLSprob nlprob) KRVS_NOEXCEPT;
/* Recomputes every determined column at the current point from its row,
 * in the cascade order, within its bounds; the result becomes the current
 * point (the solution's x, or the start values when there is none). */
KRVS_API int KNLScascade(KNLSprob nlprob) KRVS_NOEXCEPT;

/* Typed results of KNLSgetrowinfo / KNLSgetcolinfo: type 1 int, 2 double. */
typedef struct {
  int type;
  int ivalue;
  double dvalue;
} KNLSinfo;
#define KNLS_ROWINFO_NCOEFS       1 /* int: nonlinear coefficients in the row */
#define KNLS_ROWINFO_WEIGHT       2 /* double: row weight */
#define KNLS_ROWINFO_STATUS       3 /* int: row status */
#define KNLS_ROWINFO_ACTIVITY     4 /* double: activity at the current point */
#define KNLS_ROWINFO_VIOLATION    5 /* double: violation found by the last validation */
#define KNLS_ROWINFO_KKT          6 /* double: complementarity residual of the last KKT validation */
#define KNLS_ROWINFO_SCALE        7 /* double: factor found by the last scaling */
#define KNLS_COLINFO_NONLINEAR    1 /* int: 1 when the column enters a nonlinear term */
#define KNLS_COLINFO_VALUE        2 /* double: value at the current point */
#define KNLS_COLINFO_DETROW       3 /* int: determining row, -1 none */
#define KNLS_COLINFO_CASCADEPOS   4 /* int: place in the cascade order, -1 none */
#define KNLS_COLINFO_KKT          5 /* double: stationarity residual of the last KKT validation */
#define KNLS_COLINFO_CASCADELIMIT 6 /* int: Newton step limit when cascading */
KRVS_API int KNLSgetrowinfo(KNLSprob nlprob, int infotype, int row, KNLSinfo *info) KRVS_NOEXCEPT;
KRVS_API int KNLSgetcolinfo(KNLSprob nlprob, int infotype, int col, KNLSinfo *info) KRVS_NOEXCEPT;

/* ---- formulas as text -----------------------------------------------------
 * Infix text: numbers, column names (as known to the optimizer, or C<j>
 * for column j), + - * / ^, unary minus, parentheses, internal functions
 * by name (LN, LOG10, EXP, ABS, SQRT, SIN, ..., MIN, MAX, PWL, AND, OR)
 * and user functions by name, arguments separated by commas. KNLSchgccoef
 * replaces the coefficients at (row, col) (factor null: 1.0). KNLSgetccoef
 * writes the first coefficient's formula into formula (at most maxbytes
 * bytes with the terminating zero); it fails when the text is longer. */
KRVS_API int KNLSchgccoef(KNLSprob nlprob, int row, int col, const double *factor,
                          const char *formula) KRVS_NOEXCEPT;
KRVS_API int KNLSgetccoef(KNLSprob nlprob, int row, int col, double *factor, char *formula,
                          int maxbytes) KRVS_NOEXCEPT;

/* ---- validation ------------------------------------------------------------
 * KNLSvalidatevector: the point has one value per column; results are the
 * sum of the violations of rows and bounds, the largest single violation
 * and the objective value there. KNLSvalidaterow checks one row at the
 * current point (message and row information); KNLSvalidate all rows.
 * KNLSvalidatekkt checks first-order optimality of the last solution:
 * stationarity per column (gradient of the objective minus the rows'
 * gradients times their duals minus the reduced cost) and complementarity
 * per row (dual times slack); mode 1 recomputes the reduced costs from the
 * duals first; respectbasis 1 counts a reduced cost of a column strictly
 * inside its bounds as a residual; updatemult 1 keeps the recomputed
 * reduced costs in the solution; the message says whether the largest
 * residual is within violtarget. */
KRVS_API int KNLSvalidatevector(KNLSprob nlprob, const double point[], double *sumviol, double *maxviol,
                                double *objective) KRVS_NOEXCEPT;
KRVS_API int KNLSvalidaterow(KNLSprob nlprob, int row) KRVS_NOEXCEPT;
KRVS_API int KNLSvalidate(KNLSprob nlprob) KRVS_NOEXCEPT;
KRVS_API int KNLSvalidatekkt(KNLSprob nlprob, int mode, int respectbasis, int updatemult,
                             double violtarget) KRVS_NOEXCEPT;

/* ---- other actions -----------------------------------------------------------
 * KNLSfixpenalties: the next solves start with the penalty weight the last
 * solve ended with; *status 0 when done, 1 when no solve has run.
 * KNLSsetcurrentiv: the current point becomes the start values.
 * KNLSupdatelinearization: evaluates every nonlinear row at the current
 * point (row information). KNLSscaling: row factors 1 / largest gradient
 * entry at the current point. KNLSreinitialize: forgets the last solve.
 * KNLSprintevalinfo, KNLSprintmemory: report through the message callback. */
KRVS_API int KNLSfixpenalties(KNLSprob nlprob, int *status) KRVS_NOEXCEPT;
KRVS_API int KNLSsetcurrentiv(KNLSprob nlprob) KRVS_NOEXCEPT;
KRVS_API int KNLSupdatelinearization(KNLSprob nlprob) KRVS_NOEXCEPT;
KRVS_API int KNLSscaling(KNLSprob nlprob) KRVS_NOEXCEPT;
KRVS_API int KNLSreinitialize(KNLSprob nlprob) KRVS_NOEXCEPT;
KRVS_API int KNLSprintevalinfo(KNLSprob nlprob) KRVS_NOEXCEPT;
KRVS_API int KNLSprintmemory(KNLSprob nlprob) KRVS_NOEXCEPT;

/* ---- multistart --------------------------------------------------------------
 * With jobs added, KNLSnlpoptimize solves from the plain start and for every
 * job, each an independent SLP on a copy of the problem, on worker threads
 * (control 12416, 0: one per processor); the best result with a locally or
 * globally optimal status is kept (the plain start's result when none is).
 * Integer attributes 12181 (solves run) and 12182 (the winner: 0 the plain
 * start, k the k-th job) report on it. A job sets start values of columns
 * and integer and double controls of the nonlinear solver. Presets add
 * count jobs: random start values within the bounds (around the start
 * where a bound is infinite), variations of the penalty weight and initial
 * step bound, or both; custom presets add the job's own start values and
 * controls on top. job_object is the caller's, handed back unchanged. */
#define KNLS_MSPRESET_RANDOM          1
#define KNLS_MSPRESET_CONTROLS        2
#define KNLS_MSPRESET_RANDOM_CONTROLS 3
KRVS_API int KNLSmsaddjob(KNLSprob nlprob, const char *description, int ninitial, const int colindex[],
                          const double initial[], int nintcontrols, const int intcontrolid[],
                          const int intcontrolvalue[], int ndblcontrols, const int dblcontrolid[],
                          const double dblcontrolvalue[], void *job_object) KRVS_NOEXCEPT;
KRVS_API int KNLSmsaddpreset(KNLSprob nlprob, const char *description, int preset, int count,
                             void *job_object) KRVS_NOEXCEPT;
KRVS_API int KNLSmsaddcustompreset(KNLSprob nlprob, const char *description, int preset, int count, int ninitial,
                                   const int colindex[], const double initial[], int nintcontrols,
                                   const int intcontrolid[], const int intcontrolvalue[], int ndblcontrols,
                                   const int dblcontrolid[], const double dblcontrolvalue[],
                                   void *job_object) KRVS_NOEXCEPT;
KRVS_API int KNLSmsclear(KNLSprob nlprob) KRVS_NOEXCEPT;
/* The job object of job k (from 1). */
KRVS_API int KNLSmsgetjobobject(KNLSprob nlprob, int job, void **job_object) KRVS_NOEXCEPT;

/* ---- files -------------------------------------------------------------
 * The linear part goes to / comes from filename through KRVSwriteprob /
 * KRVSreadprob; the nonlinear coefficients and row statuses to / from the
 * companion file filename + ".knl". */
KRVS_API int KNLSwriteprob(KNLSprob nlprob, const char *filename, const char *flags) KRVS_NOEXCEPT;
KRVS_API int KNLSreadprob(KNLSprob nlprob, const char *filename, const char *flags) KRVS_NOEXCEPT;
/* The nonlinear part of a problem (formulas, row statuses, column settings,
 * the solver's controls and the results of its last solve) in memory, to go
 * with the optimizer's snapshot (KRVSsavebuffer): KNLSsavebuffer hands back
 * a buffer released with KRVSfreebuffer; KNLSrestorebuffer reads one whole before it replaces the
 * nonlinear part of a problem whose optimizer model it belongs to. Formulas
 * that call user functions are kept with the functions' count and flags; the
 * functions themselves belong to the caller, who defines them again, in
 * the same order, before restoring (checked). */
KRVS_API int KNLSsavebuffer(KNLSprob nlprob, void **data, int64_t *size) KRVS_NOEXCEPT;
KRVS_API int KNLSrestorebuffer(KNLSprob nlprob, const void *data, int64_t size) KRVS_NOEXCEPT;

/* ---- sparse symmetric factorisation ------------------------------------
 * Factorises the symmetric matrix of order n given by its lower triangle
 * compressed by columns (column j: rows index[start[j]..start[j+1]-1], all
 * >= j, with values) after a fill-reducing ordering (natural != 0 keeps the
 * natural order), as the interior-point solver does; solves A x = rhs in
 * place when rhs is not null (with two steps of iterative refinement), and
 * reports the inertia (positive, negative, zero pivots) and the nonzeros of
 * the factor below its diagonal; null outputs are skipped. Errors go to the
 * global environment's last error. */
KRVS_API int KNLSfactorsymmetric(int n, const int start[], const int index[], const double values[], int natural,
                                 double rhs[], int inertia[3], int64_t *factor_nonzeros) KRVS_NOEXCEPT;
/* Orders and analyses the structure once, then factorises it for `sets`
 * value arrays in turn (values: sets * start[n] numbers, one pattern's worth
 * after the other), as the interior-point solver does every iteration.
 * Diagonals absent from the pattern are structurally zero (a node without
 * one is eliminated only after a neighbour has given it a diagonal). For
 * set k, when rhs is not null, rhs[k*n .. k*n+n-1] is replaced by the
 * solution of one plain solve (no refinement, so its residual shows the
 * accuracy of the factor itself), and inertia[3k .. 3k+2] receives the
 * inertia. stats (null: skipped) receives: [0] ordering seconds, [1]
 * symbolic analysis seconds, [2] numeric factorisation seconds summed over
 * the sets, [3] nonzeros of the factor below the diagonal, [4] floating-
 * point operations of one numeric factorisation, [5] supernodes (0: the
 * factor was computed column by column), [6] the largest supernode's
 * columns. options: KNLS_FACTOR_NATURAL keeps the natural order,
 * KNLS_FACTOR_COLUMNS or KNLS_FACTOR_SUPERNODAL forces that numeric kernel
 * (neither: chosen from the factor's density, as the solver does).
 * max_factor_flops > 0 refuses, before any numeric work, a structure whose
 * factorisation would take more floating-point operations (the limit the
 * automatic choice of the interior-point road applies). */
#define KNLS_FACTOR_NATURAL 1
#define KNLS_FACTOR_COLUMNS 2
#define KNLS_FACTOR_SUPERNODAL 4
KRVS_API int KNLSfactorsymmetricseries(int n, const int start[], const int index[], int sets, const double values[],
                                       int options, double rhs[], int inertia[], double stats[7],
                                       double max_factor_flops) KRVS_NOEXCEPT;

#ifdef __cplusplus
}
#endif
#endif /* KNLS_H */
