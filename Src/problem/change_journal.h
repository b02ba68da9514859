// Changes made to modelling objects after they joined problems.
//
// Variables and constraints know nothing of the problems that hold them, so
// a change such as `x.ub = 5` is written to one module-wide journal (the
// object's identity and which attribute changed). Every problem keeps its
// own position in the journal and, before it solves, writes, copies or
// hands its engine model to a wrapper method, applies the entries it has
// not seen yet to the objects it holds, with the values the objects have
// then. The cost of bringing a problem up to date is therefore the number
// of changes made since, not the size of its model; entries of objects the
// problem does not hold are skipped with one map probe each.
//
// Entries that every problem has seen are dropped. When the journal grows
// past a fixed size because some problem is not brought up to date, that
// problem gives up its position and reapplies every attribute of its
// objects at its next update instead (a cost of its model size, paid at
// most once per that many changes).
#ifndef KORVO_CHANGE_JOURNAL_H
#define KORVO_CHANGE_JOURNAL_H

#include <Python.h>

#include <cstdint>

struct problem_s;

enum journal_change : uint8_t {
  JOURNAL_VAR_LB,
  JOURNAL_VAR_UB,
  JOURNAL_VAR_THRESHOLD,
  JOURNAL_VAR_TYPE,
  JOURNAL_VAR_NAME,
  JOURNAL_CON_BOUNDS,
  JOURNAL_CON_NAME,
  JOURNAL_CON_BODY,
};

// Records that an attribute of the object with this identity changed.
// Nothing is kept while no problem exists. Never fails: without memory for
// the entry every problem falls back to reapplying all of its objects.
void journal_note(uint64_t id, journal_change change);

// A problem follows the journal from its current end on (at construction,
// copy, read and reset); a problem that stops following (at destruction)
// no longer holds back the dropping of old entries.
void journal_follow(problem_s *p);
void journal_unfollow(problem_s *p);

// Brings the problem's engine model up to date with the changes made to
// its objects (nothing while the problem is being solved). 0, or -1 with an exception naming the object whose change
// cannot be applied (nothing is then applied, and the same error comes
// back until the object is corrected or leaves the problem).
int problem_apply_object_changes(problem_s *p);

// Refuses (with InterfaceError naming what was asked) when the problem is
// being solved: nothing may change a problem until its solve returns. 0 or
// -1 with the exception set.
int problem_refuse_while_solving(problem_s *p, const char *what);

#endif
