// NumPy data types npvar, npexpr and npconstraint and their ufunc loops.
//
// Each type is NumPy's object type under another name: an element is one
// object pointer. NumPy only accepts reference-holding user types whose
// layout is a fixed structure, so each type carries one object field at
// offset 0; that also lets NumPy release the references when arrays die.
// The ufunc loops call the same general_* operations as the number protocol
// of the modelling types, element by element.
#define KORVO_NPY_IMPORTING
#include "numpy_types/npy_api.h"

#include <cstring>

#include "constraint/constraint.h"
#include "expression/arithmetic.h"
#include "expression/expression.h"
#include "numpy_types/arena_reuse.h"
#include "numpy_types/numpy_types.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"

namespace {

// ---- element slots ------------------------------------------------------------
// Slots need not be aligned inside arrays NumPy hands us, hence memcpy.

PyObject *load_slot(const void *slot) {
  PyObject *obj;
  std::memcpy(&obj, slot, sizeof obj);
  return obj;
}

void store_slot(void *slot, PyObject *obj) { std::memcpy(slot, &obj, sizeof obj); }

// Puts `owned` (a new reference, possibly null) into the slot and releases
// what the slot held before.
void replace_slot(void *slot, PyObject *owned) {
  PyObject *old = load_slot(slot);
  store_slot(slot, owned);
  Py_XDECREF(old);
}

PyObject *element_getitem(void *slot, void *) {
  PyObject *obj = load_slot(slot);
  return Py_NewRef(obj ? obj : Py_None);
}

int element_setitem(PyObject *item, void *slot, void *) {
  replace_slot(slot, Py_NewRef(item));
  return 0;
}

void element_copyswap(void *dst, void *src, int, void *) {
  if (src) replace_slot(dst, Py_XNewRef(load_slot(src)));
}

void element_copyswapn(void *dst, npy_intp dstride, void *src, npy_intp sstride, npy_intp n, int, void *) {
  if (!src) return;
  char *d = static_cast<char *>(dst);
  const char *s = static_cast<const char *>(src);
  for (npy_intp i = 0; i < n; ++i, d += dstride, s += sstride) replace_slot(d, Py_XNewRef(load_slot(s)));
}

// Variables and constraints never count as zero.
npy_bool true_nonzero(void *, void *) { return NPY_TRUE; }

npy_bool expression_nonzero(void *slot, void *) {
  PyObject *obj = load_slot(slot);
  if (!obj) return NPY_FALSE;
  if (!isExpression(obj)) return NPY_TRUE;
  const expression_s *e = as_expression(obj);
  return (e->constant != 0.0 || expression_has_terms(e)) ? NPY_TRUE : NPY_FALSE;
}

// Cast between npvar, npexpr and object: the elements stay the same objects.
void reference_cast(void *from, void *to, npy_intp n, void *, void *) {
  element_copyswapn(to, sizeof(PyObject *), from, sizeof(PyObject *), n, 0, nullptr);
}

// ---- the three data types -----------------------------------------------------

struct TypeRow {
  PyTypeObject *scalar_type;
  char type_char;
  const char *field_name;
  PyArray_NonzeroFunc *nonzero;
  PyArray_Descr **registered;  // where the descriptor is kept in krv_py_env
  const char *published_name;
};

// Registration order: constraint first, then variable and expression.
const TypeRow type_table[] = {
    {&korvo_constraintType, 'c', "constraint", true_nonzero, &krv_py_env.npconstraint, "npconstraint"},
    {&korvo_varType, 'v', "variable", true_nonzero, &krv_py_env.npvar, "npvar"},
    {&korvo_expressionType, 'e', "expression", expression_nonzero, &krv_py_env.npexpr, "npexpr"},
};
constexpr int kNumTypes = sizeof(type_table) / sizeof(type_table[0]);

// NumPy keeps pointers to the prototypes and function tables for good.
PyArray_ArrFuncs type_functions[kNumTypes];
PyArray_DescrProto type_prototypes[kNumTypes];

int register_type(int row_index, PyArray_Descr *object_descr) {
  const TypeRow &row = type_table[row_index];
  PyArray_ArrFuncs *funcs = &type_functions[row_index];
  PyArray_InitArrFuncs(funcs);
  funcs->getitem = element_getitem;
  funcs->setitem = element_setitem;
  funcs->copyswapn = element_copyswapn;
  funcs->copyswap = element_copyswap;
  funcs->nonzero = row.nonzero;

  PyRef field(Py_BuildValue("(Oi)", reinterpret_cast<PyObject *>(object_descr), 0));
  PyRef fields(PyDict_New());
  PyRef names(Py_BuildValue("(s)", row.field_name));
  if (!field || !fields || !names || PyDict_SetItemString(fields.get(), row.field_name, field.get()) < 0)
    return -1;

  PyArray_DescrProto *proto = &type_prototypes[row_index];
  std::memset(static_cast<void *>(proto), 0, sizeof *proto);
  Py_SET_REFCNT(proto, 1);
  Py_SET_TYPE(proto, &PyArrayDescr_Type);
  proto->typeobj = row.scalar_type;
  proto->kind = object_descr->kind;
  proto->type = row.type_char;
  proto->byteorder = object_descr->byteorder;
  proto->flags = static_cast<char>(PyDataType_FLAGS(object_descr));
  proto->type_num = -1;
  proto->elsize = static_cast<int>(PyDataType_ELSIZE(object_descr));
  proto->alignment = static_cast<int>(PyDataType_ALIGNMENT(object_descr));
  proto->fields = fields.release();  // kept by the prototype for good
  proto->names = names.release();
  proto->f = funcs;

  int type_num = PyArray_RegisterDataType(proto);
  if (type_num < 0) return -1;
  *row.registered = PyArray_DescrFromType(type_num);
  return *row.registered ? 0 : -1;
}

int register_casts() {
  PyRef object_descr(reinterpret_cast<PyObject *>(PyArray_DescrFromType(NPY_OBJECT)));
  if (!object_descr) return -1;
  PyArray_Descr *castable[] = {krv_py_env.npvar, krv_py_env.npexpr,
                               reinterpret_cast<PyArray_Descr *>(object_descr.get())};
  for (PyArray_Descr *from : castable)
    for (PyArray_Descr *to : castable) {
      if (from == to) continue;
      if (PyArray_RegisterCastFunc(from, to->type_num, reference_cast) < 0 ||
          PyArray_RegisterCanCast(from, to->type_num, NPY_NOSCALAR) < 0)
        return -1;
    }
  return 0;
}

// ---- ufunc loops ----------------------------------------------------------------

enum class Input { object, number };

constexpr npy_intp kPrefetchAhead = 16;

// Reads one input of a loop as a borrowed object. Double inputs are boxed;
// the box is reused while consecutive values are bitwise equal, so that a
// scalar broadcast over a large array allocates one float.
template <Input kind>
class LoopInput {
 public:
  PyObject *at(const char *slot) {
    if constexpr (kind == Input::object) {
      PyObject *obj = load_slot(slot);
      return obj ? obj : Py_None;
    } else {
      double value;
      std::memcpy(&value, slot, sizeof value);
      if (!boxed_ || std::memcmp(&value, &last_, sizeof value) != 0) {
        boxed_.reset(PyFloat_FromDouble(value));
        last_ = value;
      }
      return boxed_.get();
    }
  }
  // Array elements are objects spread over memory: asking for the one a few
  // elements ahead hides most of the cache misses of reading it.
  void prefetch(const char *slot) const {
    if constexpr (kind == Input::object) {
      PyObject *obj = load_slot(slot);
      if (!obj) return;
      // An expression keeps its small linear map right after its header: the
      // second line holds most of its entries. (A prefetch never faults.)
      __builtin_prefetch(obj);
      __builtin_prefetch(reinterpret_cast<const char *>(obj) + 64);
    }
  }

 private:
  PyRef boxed_;
  double last_ = 0.0;
};

// The one binary kernel: out[i] = op(a[i], b[i]). The loop stops at the first
// failed element; NumPy raises the pending exception.
template <typename Op, Input first, Input second>
void binary_loop(char **args, const npy_intp *dims, const npy_intp *steps, Op op) {
  LoopInput<first> a;
  LoopInput<second> b;
  char *pa = args[0], *pb = args[1], *out = args[2];
  for (npy_intp i = 0; i < dims[0]; ++i, pa += steps[0], pb += steps[1], out += steps[2]) {
    if (i + kPrefetchAhead < dims[0]) {
      a.prefetch(pa + kPrefetchAhead * steps[0]);
      b.prefetch(pb + kPrefetchAhead * steps[1]);
    }
    PyObject *x = a.at(pa), *y = b.at(pb);
    if (!x || !y) return;
    PyObject *result = op(x, y);
    replace_slot(out, result);
    if (!result) return;
  }
}

template <PyObject *(*op)(PyObject *)>
void unary_loop(char **args, const npy_intp *dims, const npy_intp *steps, void *) {
  char *in = args[0], *out = args[1];
  for (npy_intp i = 0; i < dims[0]; ++i, in += steps[0], out += steps[1]) {
    PyObject *x = load_slot(in);
    PyObject *result = op(x ? x : Py_None);
    replace_slot(out, result);
    if (!result) return;
  }
}

template <PyObject *(*op)(PyObject *, PyObject *), Input first, Input second>
void arithmetic_loop(char **args, const npy_intp *dims, const npy_intp *steps, void *) {
  binary_loop<decltype(op), first, second>(args, dims, steps, op);
}

template <int comparison, Input first, Input second>
void comparison_loop(char **args, const npy_intp *dims, const npy_intp *steps, void *) {
  binary_loop<PyObject *(*)(PyObject *, PyObject *), first, second>(
      args, dims, steps, [](PyObject *x, PyObject *y) { return make_constraint(x, y, comparison); });
}

constexpr Input O = Input::object;
constexpr Input F = Input::number;

// Named loops: _oo both inputs objects, _of second input a double, _fo first input a double.
#define KORVO_ARITH_LOOPS(name, op)                                       \
  [[maybe_unused]] PyUFuncGenericFunction krv_arr_##name##_oo = arithmetic_loop<op, O, O>; \
  [[maybe_unused]] PyUFuncGenericFunction krv_arr_##name##_of = arithmetic_loop<op, O, F>; \
  [[maybe_unused]] PyUFuncGenericFunction krv_arr_##name##_fo = arithmetic_loop<op, F, O>;
KORVO_ARITH_LOOPS(add, general_add)
KORVO_ARITH_LOOPS(sub, general_sub)
KORVO_ARITH_LOOPS(mul, general_mul)
KORVO_ARITH_LOOPS(div, general_div)
KORVO_ARITH_LOOPS(pow, general_pow)
KORVO_ARITH_LOOPS(and, general_and)
KORVO_ARITH_LOOPS(or, general_or)
#undef KORVO_ARITH_LOOPS

#define KORVO_COMPARISON_LOOPS(name, code)                                     \
  PyUFuncGenericFunction name##_con_oo = comparison_loop<code, O, O>; \
  PyUFuncGenericFunction name##_con_of = comparison_loop<code, O, F>; \
  PyUFuncGenericFunction name##_con_fo = comparison_loop<code, F, O>;
KORVO_COMPARISON_LOOPS(leq, Py_LE)
KORVO_COMPARISON_LOOPS(eq, Py_EQ)
KORVO_COMPARISON_LOOPS(geq, Py_GE)
#undef KORVO_COMPARISON_LOOPS

PyUFuncGenericFunction krv_arr_neg = unary_loop<general_neg>;
PyUFuncGenericFunction krv_arr_sqr = unary_loop<general_sqr>;

// Operand types of the loop table: 0 double, 1 npvar, 2 npexpr, 3 npconstraint,
// 4 object. Object operands (a modelling object next to an array, or an
// object array) share the loops of the modelling types, so that `x <= y`
// with y a single variable gives constraints rather than truth values.
enum OperandType { T_DOUBLE = 0, T_VAR = 1, T_EXPR = 2, T_CON = 3, T_OBJECT = 4 };
struct Operands {
  int types[4];  // ends at the first -1; {-1}: no operand (unary loop)
};
constexpr Operands kNumber{{T_DOUBLE, -1}};
constexpr Operands kModelling{{T_VAR, T_EXPR, -1}};
constexpr Operands kObjects{{T_VAR, T_EXPR, T_OBJECT, -1}};
constexpr Operands kNone{{-1}};

struct LoopRow {
  const char *ufuncs[3];  // null-terminated
  Operands first, second;
  int output;
  PyUFuncGenericFunction *loop;
};

const LoopRow loop_table[] = {
    // Comparisons give constraint arrays, arithmetic gives expression arrays.
    {{"less_equal"}, kModelling, kNumber, T_CON, &leq_con_of},
    {{"equal"}, kModelling, kNumber, T_CON, &eq_con_of},
    {{"greater_equal"}, kModelling, kNumber, T_CON, &geq_con_of},
    {{"less_equal"}, kNumber, kModelling, T_CON, &leq_con_fo},
    {{"equal"}, kNumber, kModelling, T_CON, &eq_con_fo},
    {{"greater_equal"}, kNumber, kModelling, T_CON, &geq_con_fo},
    {{"less_equal"}, kObjects, kObjects, T_CON, &leq_con_oo},
    {{"equal"}, kObjects, kObjects, T_CON, &eq_con_oo},
    {{"greater_equal"}, kObjects, kObjects, T_CON, &geq_con_oo},
    {{"add"}, kNumber, kModelling, T_EXPR, &krv_arr_add_fo},
    {{"subtract"}, kNumber, kModelling, T_EXPR, &krv_arr_sub_fo},
    {{"add"}, kModelling, kNumber, T_EXPR, &krv_arr_add_of},
    {{"subtract"}, kModelling, kNumber, T_EXPR, &krv_arr_sub_of},
    {{"add"}, kObjects, kObjects, T_EXPR, &krv_arr_add_oo},
    {{"subtract"}, kObjects, kObjects, T_EXPR, &krv_arr_sub_oo},
    {{"negative"}, kModelling, kNone, T_EXPR, &krv_arr_neg},
    {{"multiply"}, kNumber, kModelling, T_EXPR, &krv_arr_mul_fo},
    {{"multiply"}, kModelling, kNumber, T_EXPR, &krv_arr_mul_of},
    {{"multiply"}, kObjects, kObjects, T_EXPR, &krv_arr_mul_oo},
    {{"divide", "true_divide"}, kModelling, kNumber, T_EXPR, &krv_arr_div_of},
    {{"divide", "true_divide"}, kNumber, kModelling, T_EXPR, &krv_arr_div_fo},
    {{"divide", "true_divide"}, kObjects, kObjects, T_EXPR, &krv_arr_div_oo},
    {{"power"}, kModelling, kNumber, T_EXPR, &krv_arr_pow_of},
    {{"power"}, kNumber, kModelling, T_EXPR, &krv_arr_pow_fo},
    {{"power"}, kObjects, kObjects, T_EXPR, &krv_arr_pow_oo},
    {{"square"}, kModelling, kNone, T_EXPR, &krv_arr_sqr},
    {{"bitwise_and"}, kNumber, kModelling, T_EXPR, &krv_arr_and_fo},
    {{"bitwise_and"}, kModelling, kNumber, T_EXPR, &krv_arr_and_of},
    {{"bitwise_and"}, kObjects, kObjects, T_EXPR, &krv_arr_and_oo},
    {{"bitwise_or"}, kNumber, kModelling, T_EXPR, &krv_arr_or_fo},
    {{"bitwise_or"}, kModelling, kNumber, T_EXPR, &krv_arr_or_of},
    {{"bitwise_or"}, kObjects, kObjects, T_EXPR, &krv_arr_or_oo},
};

int type_number(int operand_type) {
  switch (operand_type) {
    case T_DOUBLE: return NPY_DOUBLE;
    case T_VAR: return krv_py_env.npvar->type_num;
    case T_EXPR: return krv_py_env.npexpr->type_num;
    case T_CON: return krv_py_env.npconstraint->type_num;
    default: return NPY_OBJECT;
  }
}

bool is_modelling(int operand_type) { return operand_type == T_VAR || operand_type == T_EXPR; }

int register_loop(PyObject *ufunc, int user_type, PyUFuncGenericFunction loop, const int *arg_types) {
  return PyUFunc_RegisterLoopForType(reinterpret_cast<PyUFuncObject *>(ufunc), user_type, loop, arg_types,
                                     nullptr);
}

int register_row(PyObject *numpy, const LoopRow &row) {
  for (const char *name : row.ufuncs) {
    if (!name) break;
    PyRef ufunc(PyObject_GetAttrString(numpy, name));
    if (!ufunc) return -1;
    if (!PyObject_TypeCheck(ufunc.get(), &PyUFunc_Type)) {
      PyErr_Format(PyExc_ImportError, "numpy.%s is not a ufunc", name);
      return -1;
    }
    for (int i : row.first.types) {
      if (i < 0) break;
      if (row.second.types[0] < 0) {
        const int arg_types[] = {type_number(i), type_number(row.output)};
        if (register_loop(ufunc.get(), type_number(i), *row.loop, arg_types) < 0) return -1;
        continue;
      }
      for (int j : row.second.types) {
        if (j < 0) break;
        if (!is_modelling(i) && !is_modelling(j)) continue;
        // Registered under the modelling type of higher index.
        int owner = is_modelling(i) && (!is_modelling(j) || i > j) ? i : j;
        const int arg_types[] = {type_number(i), type_number(j), type_number(row.output)};
        if (register_loop(ufunc.get(), type_number(owner), *row.loop, arg_types) < 0) return -1;
      }
    }
  }
  return 0;
}

int import_numpy_interfaces() {
  PyRef numpy(PyImport_ImportModule("numpy"));
  if (!numpy || _import_array() < 0) {
    PyErr_Print();
    PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    return -1;
  }
  if (_import_umath() < 0) {
    PyErr_Print();
    PyErr_SetString(PyExc_ImportError, "numpy.core.umath failed to import");
    return -1;
  }
  return 0;
}

}  // namespace

int setAltNumOps(void) {
  if (import_numpy_interfaces() < 0) return -1;
  // Array operations make and drop one object per element: reuse arenas.
  arena_reuse_install();
  // Registered once per process: NumPy cannot forget a data type, so a
  // second initialisation of the module reuses the first registration.
  if (!krv_py_env.npvar) {
    PyRef object_descr(reinterpret_cast<PyObject *>(PyArray_DescrFromType(NPY_OBJECT)));
    if (!object_descr) return -1;
    for (int row = 0; row < kNumTypes; ++row)
      if (register_type(row, reinterpret_cast<PyArray_Descr *>(object_descr.get())) < 0) return -1;
    if (register_casts() < 0) return -1;
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    for (const LoopRow &row : loop_table)
      if (register_row(numpy.get(), row) < 0) return -1;
  }
  return 0;
}

int numpy_types_publish(PyObject *module) {
  for (const TypeRow &row : type_table)
    if (!*row.registered ||
        PyModule_AddObjectRef(module, row.published_name, reinterpret_cast<PyObject *>(*row.registered)) < 0)
      return -1;
  return 0;
}

int npvar_typenum(void) { return krv_py_env.npvar ? krv_py_env.npvar->type_num : -1; }
int npexpr_typenum(void) { return krv_py_env.npexpr ? krv_py_env.npexpr->type_num : -1; }
int npconstraint_typenum(void) { return krv_py_env.npconstraint ? krv_py_env.npconstraint->type_num : -1; }
