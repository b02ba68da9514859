// The korvo.problem object: the engine handles it owns and the registry of
// its modelling objects.
#ifndef KORVO_PROBLEM_H
#define KORVO_PROBLEM_H

#include <Python.h>

#include <cstdint>

#include "knls.h"
#include "krvs.h"

struct rowcolmap_s;
typedef struct rowcolmap_s rowcolmap;

#define KORVO_NUM_CALLBACK_KINDS 40

struct problem_s {
  PyObject_HEAD
  KRVSprob prob;
  KNLSprob nlprob;
  PyObject *variables;    // list, column order
  PyObject *constraints;  // list, row order
  PyObject *sets;         // list, set order
  PyObject *controls;     // control object bound to this problem
  PyObject *attributes;   // attribute object bound to this problem
  rowcolmap *var_index;
  rowcolmap *con_index;
  rowcolmap *sos_index;
  PyObject *callbacks[KORVO_NUM_CALLBACK_KINDS];
  int nl_const_col;
  int nl_coef_count;
  int nl_objective;
  PyObject *user_functions;
  int transfer_col;
  int transfer_row;
  int last_solve_nonlinear;  // 1 after a nonlinear solver run, 0 after an optimizer solve
  // Changes to the problem's objects (change_journal.h): the next journal
  // entry to apply, whether the problem follows the journal, and whether it
  // must reapply every attribute of its objects instead.
  uint64_t journal_position;
  int journal_followed;
  int journal_resync;
  // Solves of this problem running now; nothing may change it meanwhile.
  int solving;
  // The objects given to the nonlinear solver's multistart jobs (a list, or
  // null), kept alive while the jobs hold them.
  PyObject *ms_job_objects;
  // Callbacks: the exception a callback raised during the running solve
  // (re-raised by the solve method), how many solves of this problem are
  // running, and for the problem handed to a callback the registering
  // problem, whose registry it shares and whose engine problems it does
  // not own.
  PyObject *callback_error;
  int solves_running;
  PyObject *shadow_owner;
};

#endif
