// Registration of the optimizer callbacks: KRVSaddcb<kind> and
// KRVSremovecb<kind> for every kind of the callback store.
#include <string>

#include "core/callbacks.h"
#include "core/guard.h"
#include "core/problem.h"

using namespace krvs;

namespace {

template <class Fn>
int add_callback(KRVSprob prob, int kind, Fn fn, void *data, int priority, const char *name) {
  return guard_problem(prob, [&] {
    if (!fn) throw Error(std::string(name) + ": null callback function");
    refuse_on_search_worker(prob, name);
    prob->callbacks.add(kind, reinterpret_cast<void (*)()>(fn), data, priority);
  });
}

template <class Fn>
int remove_callback(KRVSprob prob, int kind, Fn fn, void *data, const char *name) {
  return guard_problem(prob, [&] {
    refuse_on_search_worker(prob, name);
    const size_t removed = prob->callbacks.remove(kind, reinterpret_cast<void (*)()>(fn), data);
    if (removed == 0 && fn) throw Error(std::string(name) + ": no such callback is registered");
  });
}

}  // namespace

#define KRVS_CALLBACK_DEF(kind, KIND)                                                                   \
  int KRVSaddcb##kind(KRVSprob prob, KRVScb##kind##_fn fn, void *data, int priority) noexcept {        \
    return add_callback(prob, KIND, fn, data, priority, "KRVSaddcb" #kind);                             \
  }                                                                                                     \
  int KRVSremovecb##kind(KRVSprob prob, KRVScb##kind##_fn fn, void *data) noexcept {                    \
    return remove_callback(prob, KIND, fn, data, "KRVSremovecb" #kind);                                 \
  }

extern "C" {
KRVS_CALLBACK_DEF(bariteration, CB_BARITERATION)
KRVS_CALLBACK_DEF(barlog, CB_BARLOG)
KRVS_CALLBACK_DEF(chgbranchobject, CB_CHGBRANCHOBJECT)
KRVS_CALLBACK_DEF(cutlog, CB_CUTLOG)
KRVS_CALLBACK_DEF(destroymt, CB_DESTROYMT)
KRVS_CALLBACK_DEF(gapnotify, CB_GAPNOTIFY)
KRVS_CALLBACK_DEF(globallog, CB_GLOBALLOG)
KRVS_CALLBACK_DEF(infnode, CB_INFNODE)
KRVS_CALLBACK_DEF(intsol, CB_INTSOL)
KRVS_CALLBACK_DEF(lplog, CB_LPLOG)
KRVS_CALLBACK_DEF(mipthread, CB_MIPTHREAD)
KRVS_CALLBACK_DEF(newnode, CB_NEWNODE)
KRVS_CALLBACK_DEF(nodecutoff, CB_NODECUTOFF)
KRVS_CALLBACK_DEF(optnode, CB_OPTNODE)
KRVS_CALLBACK_DEF(preintsol, CB_PREINTSOL)
KRVS_CALLBACK_DEF(prenode, CB_PRENODE)
KRVS_CALLBACK_DEF(usersolnotify, CB_USERSOLNOTIFY)
KRVS_CALLBACK_DEF(checktime, CB_CHECKTIME)
}
