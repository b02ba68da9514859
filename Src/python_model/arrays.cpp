// vars, Sum and Prod: building many variables, and folding many terms into
// one expression, without a Python-level loop.
#include "python_model/arrays.h"

#include "numpy_types/npy_api.h"

#include <unistd.h>

#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "expression/arithmetic.h"
#include "expression/expression.h"
#include "nonlin/dot.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/method_tables.h"
#include "python_model/numbers.h"
#include "python_model/pyref.h"
#include "variable/name_patterns.h"
#include "variable/var.h"

namespace {

PyObject *model_error(const char *message) {
  PyErr_SetString(korvo_model_error, message);
  return nullptr;
}

// ---- the reduction walk -----------------------------------------------------------

int visit_owned(PyRef item, reduction_visit visit, void *context) {
  if (!item) return -1;
  if (item.get() == Py_None) return 0;
  return visit(item.get(), context);
}

double read_number(const char *slot, int type_num) {
  switch (type_num) {
    case NPY_BOOL: return *reinterpret_cast<const npy_bool *>(slot) ? 1.0 : 0.0;
    case NPY_INT32: { npy_int32 v; std::memcpy(&v, slot, sizeof v); return static_cast<double>(v); }
    case NPY_INT64: { npy_int64 v; std::memcpy(&v, slot, sizeof v); return static_cast<double>(v); }
    case NPY_FLOAT32: { npy_float32 v; std::memcpy(&v, slot, sizeof v); return static_cast<double>(v); }
    default: { npy_float64 v; std::memcpy(&v, slot, sizeof v); return v; }
  }
}

bool holds_objects(int type_num) {
  return type_num == NPY_OBJECT || type_num == krv_py_env.npvar->type_num ||
         type_num == krv_py_env.npexpr->type_num;
}

bool holds_numbers(int type_num) {
  return type_num == NPY_BOOL || type_num == NPY_INT32 || type_num == NPY_INT64 || type_num == NPY_FLOAT32 ||
         type_num == NPY_FLOAT64;
}

// Every element of the array in memory order: objects as stored, numbers as floats.
int walk_array(PyArrayObject *array, reduction_visit visit, void *context) {
  int type_num = PyArray_TYPE(array);
  bool objects = holds_objects(type_num);
  if (!objects && !holds_numbers(type_num)) {
    PyErr_SetString(korvo_model_error, "Incorrect objects used in Sum, Dot, Prod, or aggregate functions");
    return -1;
  }
  if (PyArray_SIZE(array) == 0) return 0;
  NpyIter *iter = NpyIter_New(array, NPY_ITER_READONLY | NPY_ITER_REFS_OK, NPY_KEEPORDER, NPY_NO_CASTING, nullptr);
  if (!iter) return -1;
  int rc = 0;
  NpyIter_IterNextFunc *next = NpyIter_GetIterNext(iter, nullptr);
  if (!next) rc = -1;
  char **data = next ? NpyIter_GetDataPtrArray(iter) : nullptr;
  if (next) do {
      PyRef item;
      if (objects) {
        PyObject *obj;
        std::memcpy(&obj, data[0], sizeof obj);
        if (!obj) continue;  // a never-filled slot counts as None
        item = PyRef::borrow(obj);
      } else {
        item = PyRef(PyFloat_FromDouble(read_number(data[0], type_num)));
      }
      if (visit_owned(std::move(item), visit, context) < 0) {
        rc = -1;
        break;
      }
    } while (next(iter));
  NpyIter_Deallocate(iter);
  return rc;
}

int walk_sequence(PyObject *seq, reduction_visit visit, void *context) {
  Py_ssize_t n = PySequence_Size(seq);
  if (n < 0) {
    PyErr_Clear();
    PyErr_SetString(korvo_model_error, "Invalid sequence of objects");
    return -1;
  }
  for (Py_ssize_t i = 0; i < n; ++i)
    if (visit_owned(PyRef(PySequence_GetItem(seq, i)), visit, context) < 0) return -1;
  return 0;
}

// True for the objects a reduction takes one by one: modelling objects and numbers.
bool is_single_operand(PyObject *obj) { return exprKind(obj) >= EXPR_CONSTANT; }

}  // namespace

int reduction_walk_container(PyObject *obj, reduction_visit visit, void *context) {
  if (isNumpyArray(obj)) return walk_array(reinterpret_cast<PyArrayObject *>(obj), visit, context);
  if (PyList_Check(obj)) {
    // Re-read the size each time: visiting may run Python code.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i)
      if (visit_owned(PyRef::borrow(PyList_GET_ITEM(obj, i)), visit, context) < 0) return -1;
    return 0;
  }
  if (PyTuple_Check(obj)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i)
      if (visit_owned(PyRef::borrow(PyTuple_GET_ITEM(obj, i)), visit, context) < 0) return -1;
    return 0;
  }
  if (PyDict_Check(obj)) {
    PyRef values(PyDict_Values(obj));
    if (!values) return -1;
    return reduction_walk_container(values.get(), visit, context);
  }
  if (is_single_operand(obj)) return 1;
  if (PySequence_Check(obj)) return walk_sequence(obj, visit, context);
  if (PyIter_Check(obj)) {
    while (true) {
      PyRef item(PyIter_Next(obj));
      if (!item) return PyErr_Occurred() ? -1 : 0;
      if (visit_owned(std::move(item), visit, context) < 0) return -1;
    }
  }
  return 1;
}

int reduction_walk(PyObject *args, reduction_visit visit, void *context) {
  if (PyTuple_GET_SIZE(args) != 1) return reduction_walk_container(args, visit, context);
  PyObject *only = PyTuple_GET_ITEM(args, 0);
  int rc = reduction_walk_container(only, visit, context);
  if (rc != 1) return rc;
  if (only == Py_None) return 0;
  if (!is_single_operand(only)) {
    PyErr_SetString(korvo_model_error, "Invalid object in Sum or Prod operators");
    return -1;
  }
  return visit(only, context);
}

namespace {

// ---- Sum and Prod -------------------------------------------------------------------

struct Fold {
  PyObject *(*combine)(PyObject *, PyObject *);
  bool in_place_sum;
  PyRef acc;  // null until the first item
};

int fold_item(PyObject *item, void *context) {
  Fold *fold = static_cast<Fold *>(context);
  // The accumulator is always our own object, so an expression can grow in place.
  if (fold->in_place_sum && fold->acc && isExpression(fold->acc.get())) {
    int kind = exprKind(item);
    if (kind >= EXPR_CONSTANT && kind <= EXPR_EXPRESSION) return expression_addObject(fold->acc.get(), item, 1.0);
  }
  PyObject *result = fold->combine(fold->acc.get(), item);
  if (!result) return -1;
  fold->acc.reset(result);
  return 0;
}

PyObject *fold(PyObject *args, PyObject *(*combine)(PyObject *, PyObject *), bool in_place_sum) {
  Fold state{combine, in_place_sum, PyRef()};
  if (reduction_walk(args, fold_item, &state) < 0) return nullptr;
  return state.acc.release();
}

}  // namespace

PyObject *korvomod_Sum(PyObject *, PyObject *args) {
  PyRef total(fold(args, general_iadd, true));
  if (!total) return PyErr_Occurred() ? nullptr : expression_base();
  if (isNumericScalar(total.get())) {
    PyObject *obj = total.release();
    if (convert_const_to_expr(&obj) < 0) {
      Py_DECREF(obj);
      return nullptr;
    }
    return obj;
  }
  return total.release();
}

PyObject *korvomod_Prod(PyObject *, PyObject *args) {
  PyRef product(fold(args, general_imul, false));
  if (!product) return PyErr_Occurred() ? nullptr : PyFloat_FromDouble(0.0);
  return product.release();
}

// ---- vars ------------------------------------------------------------------------------

namespace {

constexpr size_t kNameBuffer = 2500;

PyObject *memory_error(const char *message) {
  PyErr_SetString(PyExc_MemoryError, message);
  return nullptr;
}

const char kNoMemoryIndex[] =
    "No memory to create variables. Consider restricting one or more index sets/lists/ranges in the index "
    "argument to korvo.vars()";

// One index argument: a count k (range(k)) or its elements, with the text
// each element contributes to variable names.
struct Dimension {
  bool is_count = false;
  Py_ssize_t size = 0;
  std::vector<PyRef> elements;  // empty for a count
  std::vector<std::string> labels;
};

// Appends obj's text as a name element; -1 with ModelError when it has none.
int element_label(PyObject *obj, std::string *out) {
  char buffer[64];
  if (is_integer_value(obj)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (!(v == -1 && PyErr_Occurred()) && !overflow) {
      std::snprintf(buffer, sizeof buffer, "%lld", v);
      *out = buffer;
      return 0;
    }
    PyErr_Clear();
  } else if (PyFloat_Check(obj)) {
    std::snprintf(buffer, sizeof buffer, "%g", PyFloat_AS_DOUBLE(obj));
    *out = buffer;
    return 0;
  } else if (PyUnicode_Check(obj)) {
    Py_ssize_t len;
    const char *text = PyUnicode_AsUTF8AndSize(obj, &len);
    if (!text) {
      PyErr_Clear();
      PyErr_SetString(korvo_model_error, "Bad index tuple in vars()");
      return -1;
    }
    out->assign(text, static_cast<size_t>(len));
    return 0;
  } else if (PyBytes_Check(obj)) {
    out->assign(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)));
    return 0;
  }
  PyRef text(PyObject_Str(obj));
  Py_ssize_t len = 0;
  const char *utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &len) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    PyErr_SetString(korvo_model_error, "Element of index tuple in vars() cannot be represented");
    return -1;
  }
  out->clear();
  for (Py_ssize_t i = 0; i < len; ++i)
    if (utf8[i] != ' ') out->push_back(utf8[i]);
  return 0;
}

bool is_count_argument(PyObject *obj) {
  return (PyLong_Check(obj) || PyArray_IsScalar(obj, Int32) || PyArray_IsScalar(obj, Int64));
}

int read_dimension(PyObject *arg, bool want_labels, Dimension *dim) {
  if (PyList_Check(arg) || PyAnySet_Check(arg) || (!is_count_argument(arg) && PySequence_Check(arg))) {
    // Lists and other sequences by position, sets by iteration.
    PyRef items(PyAnySet_Check(arg) ? PySequence_List(arg) : PySequence_Fast(arg, ""));
    if (!items) return -1;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) dim->elements.push_back(PyRef::borrow(PySequence_Fast_GET_ITEM(items.get(), i)));
    dim->size = n;
  } else if (is_count_argument(arg)) {
    long long k = PyLong_AsLongLong(arg);
    if (k == -1 && PyErr_Occurred()) return -1;
    if (k < 1) {
      PyErr_SetString(korvo_model_error,
                      "Invalid index: integer argument to korvo.vars() must be positive (it is equivalent to range(k))");
      return -1;
    }
    if (k > PY_SSIZE_T_MAX / static_cast<long long>(sizeof(PyObject *))) {
      PyErr_SetString(PyExc_MemoryError, kNoMemoryIndex);
      return -1;
    }
    dim->is_count = true;
    dim->size = static_cast<Py_ssize_t>(k);
  } else {
    PyErr_SetString(korvo_model_error,
                    "Invalid index: a call to korvo.vars() must have a tuple of lists, sets, iterable objects, or "
                    "integer numbers as its arguments");
    return -1;
  }
  if (dim->size == 0) {
    PyErr_SetString(korvo_model_error, "Invalid index: empty dimension in creation of variables");
    return -1;
  }
  // A count's labels are its positions, written when each name is made.
  if (!want_labels || dim->is_count) return 0;
  dim->labels.resize(static_cast<size_t>(dim->size));
  for (Py_ssize_t i = 0; i < dim->size; ++i)
    if (element_label(dim->elements[i].get(), &dim->labels[i]) < 0) return -1;
  return 0;
}

// Memory that a request for `total` variables would take at least: the
// object, its array cell or dict entry, and its name when it has one.
// A request beyond the machine's memory is refused before anything is made.
bool fits_in_memory(Py_ssize_t total, bool named) {
  const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return true;
  const double physical = double(pages) * double(page_size);
  const double per_variable = 40.0 + (named ? 100.0 : 0.0);
  return double(total) * per_variable <= physical;
}

// The packed word shared by every new variable (identity bits left at zero).
uint64_t common_word(double lb, double ub, double threshold, long long vartype) {
  uint64_t word = 0;
  if (lb == 0.0) word |= 0ULL << VAR_LB_SHIFT;
  else if (lb <= -KRV_INFINITY) word |= 1ULL << VAR_LB_SHIFT;
  else if (lb == 1.0) word |= 2ULL << VAR_LB_SHIFT;
  else word |= VAR_LB_CODE | VAR_LB_STORED;
  if (ub >= KRV_INFINITY) word |= 0ULL << VAR_UB_SHIFT;
  else if (ub == 0.0) word |= 1ULL << VAR_UB_SHIFT;
  else if (ub == 1.0) word |= 2ULL << VAR_UB_SHIFT;
  else word |= VAR_UB_CODE | VAR_UB_STORED;
  if (threshold != -KRV_INFINITY) word |= VAR_THOLD_STORED;
  word |= (static_cast<uint64_t>(vartype) << VAR_TYPE_SHIFT) & VAR_TYPE_MASK;
  return word;
}

// Keeps at most `limit` bytes of UTF-8 text without splitting a character.
void truncate_utf8(std::string *text, size_t limit) {
  if (text->size() <= limit) return;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>((*text)[end]) & 0xC0) == 0x80) --end;
  text->resize(end);
}

struct VarsRequest {
  double lb, ub, threshold;
  long long vartype;
  bool names;
  std::string prefix;
};

// The element objects of one index combination, for dict keys.
PyObject *element_object(const Dimension &dim, Py_ssize_t i) {
  if (dim.is_count) return PyLong_FromSsize_t(i);
  return Py_NewRef(dim.elements[i].get());
}

PyObject *build_key(const std::vector<Dimension> &dims, const std::vector<Py_ssize_t> &at) {
  if (dims.size() == 1) return element_object(dims[0], at[0]);
  PyRef key(PyTuple_New(static_cast<Py_ssize_t>(dims.size())));
  if (!key) return nullptr;
  for (size_t d = 0; d < dims.size(); ++d) {
    PyObject *element = element_object(dims[d], at[d]);
    if (!element) return nullptr;
    PyTuple_SET_ITEM(key.get(), static_cast<Py_ssize_t>(d), element);
  }
  return key.release();
}

PyObject *make_variables(const VarsRequest &req, std::vector<Dimension> &dims) {
  Py_ssize_t total = 1;
  bool all_counts = true;
  for (const Dimension &dim : dims) {
    all_counts = all_counts && dim.is_count;
    if (__builtin_mul_overflow(total, dim.size, &total) ||
        total > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(PyObject *))) {
      PyErr_SetString(PyExc_MemoryError, kNoMemoryIndex);
      return nullptr;
    }
  }
  if (!fits_in_memory(total, req.names)) {
    PyErr_Format(PyExc_MemoryError,
                 "Not enough memory to create %zd variables with korvo.vars(). Consider restricting one or more "
                 "index sets/lists/ranges in the index argument",
                 total);
    return nullptr;
  }

  PyRef container;
  char *cells = nullptr;
  if (all_counts) {
    std::vector<npy_intp> shape;
    for (const Dimension &dim : dims) shape.push_back(dim.size);
    Py_INCREF(krv_py_env.npvar);
    container = PyRef(PyArray_NewFromDescr(&PyArray_Type, krv_py_env.npvar, static_cast<int>(shape.size()),
                                           shape.data(), nullptr, nullptr, 0, nullptr));
    if (!container) {
      PyErr_Clear();
      return memory_error("Not enough memory to create variables with korvo.vars()");
    }
    cells = static_cast<char *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(container.get())));
  } else {
    container = PyRef(PyDict_New());
    if (!container)
      return model_error(
          "Could not create variables. Consider restricting one or more index sets/lists/ranges in the index "
          "argument to korvo.vars()");
  }

  const uint64_t word = common_word(req.lb, req.ub, req.threshold, req.vartype);
  // All identities in one locked step.
  const uint64_t first_id = var_take_ids(static_cast<uint64_t>(total));
  // Names follow from the call's prefix and index sets: one pattern for all
  // of its variables, each name made when it is asked for.
  NamePattern *pattern = nullptr;
  if (req.names) {
    std::vector<NamePatternDimension> pattern_dims(dims.size());
    for (size_t d = 0; d < dims.size(); ++d) {
      pattern_dims[d].is_count = dims[d].is_count;
      pattern_dims[d].size = static_cast<uint64_t>(dims[d].size);
      pattern_dims[d].labels = std::move(dims[d].labels);
    }
    pattern = name_pattern_add(first_id, static_cast<uint64_t>(total), req.prefix, std::move(pattern_dims));
  }
  // A call that fails before its first variable leaves no pattern behind;
  // otherwise the pattern goes with the last variable that holds it.
  struct PatternCleanup {
    NamePattern *pattern;
    ~PatternCleanup() { name_pattern_drop_if_unused(pattern); }
  } cleanup{pattern};
  std::vector<Py_ssize_t> at(dims.size(), 0);
  for (Py_ssize_t i = 0; i < total; ++i) {
    PyRef var(korvo_varType.tp_alloc(&korvo_varType, 0));
    if (!var) {
      PyErr_Clear();
      return memory_error("Not enough memory to create variables with korvo.vars()");
    }
    uint64_t *info = &as_var(var.get())->info;
    const uint64_t id = (first_id + static_cast<uint64_t>(i)) & VAR_ID_MASK;
    // The bits are set before each side entry exists, so that a failure
    // midway leaves nothing for deallocation to miss.
    *info = id;
    if ((word & VAR_LB_STORED) && boundmap_set(krv_py_env.var_lb_map, id, req.lb) < 0) return model_error("Cannot store variable bound");
    *info |= word & (VAR_LB_CODE | VAR_LB_STORED);
    if ((word & VAR_UB_STORED) && boundmap_set(krv_py_env.var_ub_map, id, req.ub) < 0) return model_error("Cannot store variable bound");
    *info |= word & (VAR_UB_CODE | VAR_UB_STORED);
    if ((word & VAR_THOLD_STORED) && boundmap_set(krv_py_env.var_threshold_map, id, req.threshold) < 0)
      return model_error("Cannot store variable bound");
    *info = word | id;

    if (pattern) {
      name_pattern_hold(pattern);
      *info |= VAR_NAME_PATTERN;
    }

    if (cells) {
      // The array starts zero-filled; each cell takes the variable's reference.
      PyObject *obj = var.release();
      std::memcpy(cells + i * static_cast<Py_ssize_t>(sizeof(PyObject *)), &obj, sizeof obj);
    } else {
      PyRef key(build_key(dims, at));
      if (!key) return nullptr;
      PyObject *stored = PyDict_SetDefault(container.get(), key.get(), var.get());
      if (!stored) return nullptr;
      if (stored != var.get()) {
        PyRef var_name(get_var_name(*info));
        if (!var_name) return nullptr;
        PyErr_Format(korvo_model_error,
                     "Duplicate entry in vars: <%S>. Check arguments for duplicate entries in one or more of the lists",
                     var_name.get());
        return nullptr;
      }
    }

    // Odometer: the last index argument varies fastest.
    for (size_t d = dims.size(); d-- > 0;) {
      if (++at[d] < dims[d].size) break;
      at[d] = 0;
    }
  }
  return container.release();
}

PyObject *vars_unguarded(PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"name", "lb", "ub", "threshold", "vartype", nullptr};
  PyObject *name = nullptr;
  VarsRequest req{0.0, KRV_INFINITY, -KRV_INFINITY, 0, true, "x"};
  PyRef no_args(PyTuple_New(0));
  if (!no_args ||
      !PyArg_ParseTupleAndKeywords(no_args.get(), kwargs, "|$OdddL:vars", const_cast<char **>(keywords), &name,
                                   &req.lb, &req.ub, &req.threshold, &req.vartype))
    return nullptr;
  if (check_var_type(req.vartype) < 0) return nullptr;
  if (req.lb > req.ub + 1e-6) return model_error("Variables have empty feasible set: lower bound > upper bound");

  if (PyTuple_GET_SIZE(args) == 0)
    return PyObject_Call(reinterpret_cast<PyObject *>(&korvo_varType), no_args.get(), kwargs);

  if (name && name != Py_None) {
    Py_ssize_t len;
    const char *text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &len) : nullptr;
    if (!text) {
      PyErr_Clear();
      return model_error("Invalid variable name (must be a string)");
    }
    req.prefix.assign(text, static_cast<size_t>(len));
    truncate_utf8(&req.prefix, kNameBuffer);
    req.names = len > 0;
  }

  std::vector<Dimension> dims(static_cast<size_t>(PyTuple_GET_SIZE(args)));
  for (size_t d = 0; d < dims.size(); ++d)
    if (read_dimension(PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(d)), req.names, &dims[d]) < 0) return nullptr;

  if (req.vartype == 1) {
    if (req.lb < 0) req.lb = 0;
    if (req.ub > 1) req.ub = 1;
  }
  return make_variables(req, dims);
}

}  // namespace

PyObject *korvomod_vars(PyObject *, PyObject *args, PyObject *kwargs) {
  // The index bookkeeping lives in C++ containers: running out of memory
  // there is a MemoryError, never an exception through the interpreter.
  try {
    return vars_unguarded(args, kwargs);
  } catch (const std::bad_alloc &) {
    PyErr_SetString(PyExc_MemoryError, kNoMemoryIndex);
    return nullptr;
  }
}

PyMethodDef korvo_arrays_methods[] = {
    {"vars", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(korvomod_vars)),
     METH_VARARGS | METH_KEYWORDS,
     KORVO_DOC("Creates many variables at once: a NumPy array of variables when every index argument is a count, "
               "otherwise a dict keyed by index tuples.",
               "x = korvo.vars(*indices, name='x', lb=0, ub=korvo.infinity, threshold=-korvo.infinity, "
               "vartype=korvo.continuous)",
               KORVO_ARGS("indices: counts k (standing for range(k)), lists, tuples, ranges, sets or other "
                          "sequences; none gives a single variable\n"
                          "  name: prefix of the names prefix(i,j,...); '' keeps the default names\n"
                          "  lb, ub, threshold, vartype: as for korvo.var, shared by every variable"),
               "x = korvo.vars(3, 4)           # 3x4 array, names x(0,0) ... x(2,3)\n"
               "  y = korvo.vars(['a', 'b'], name='y')  # {'a': y(a), 'b': y(b)}",
               "Identities are consecutive; the array has the data type korvo.npvar. Names are cut to 255 "
               "characters, the length every name keeps in a problem and its files. A request beyond the "
               "machine's memory raises MemoryError before any variable is made.")},
    {"Sum", korvomod_Sum, METH_VARARGS,
     KORVO_DOC("Adds any number of terms into one expression.", "e = korvo.Sum(*terms)",
               KORVO_ARGS("terms: variables, terms, expressions, nonlinear expressions or numbers, or one "
                          "container of them (list, tuple, dict values, generator, NumPy array); None is skipped"),
               "e = korvo.Sum(c[i] * x[i] for i in range(n))",
               "The sum grows one expression in place; Sum() is an empty expression.")},
    {"Prod", korvomod_Prod, METH_VARARGS,
     KORVO_DOC("Multiplies any number of factors.", "p = korvo.Prod(*factors)",
               KORVO_ARGS("factors: variables, terms, expressions, nonlinear expressions or numbers, or one "
                          "container of them; None is skipped"),
               "p = korvo.Prod(x, y, 2)", "Prod() with nothing to multiply is 0.0.")},
    {"Dot", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(korvomod_Dot)),
     METH_VARARGS | METH_KEYWORDS,
     KORVO_DOC("Multiplies NumPy arrays of numbers, variables and expressions with the shape rule of NumPy's dot.",
               "r = korvo.Dot(*arrays, out=None)",
               KORVO_ARGS("arrays: NumPy arrays or sparse matrices (or one container of them), multiplied from "
                          "left to right\n"
                          "  out: optional array that receives the last product"),
               "e = korvo.Dot(A, x)   # A a 2-D float array, x = korvo.vars(n): one expression per row of A\n"
               "  e = korvo.Dot(S, x)   # S a SciPy sparse matrix or array: built from its nonzeros only",
               "The last axis of each left operand meets the second-to-last axis of the right operand. Products "
               "with variables or expressions give an array of data type korvo.npexpr; numeric products a "
               "numeric array. Dot() is 0.0. A sparse matrix (any object with tocsr(), shape and nnz) may stand "
               "on either side of a NumPy array; the result is what the same product with the matrix made dense "
               "gives: stored zeros make no terms and repeated entries add up, and a product with a numeric array "
               "is a NumPy array with the dense rule's element type. Two sparse matrices are refused: multiply "
               "them with their own @.")},
    {nullptr, nullptr, 0, nullptr}};
