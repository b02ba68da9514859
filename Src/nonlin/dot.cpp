// korvo.Dot: NumPy's dot rule over arrays of numbers and modelling objects.
//
// The product pairs the last axis of a with the second-to-last axis of b
// (the only axis of a vector b). Numeric operands give a numeric array;
// otherwise each result element is one expression into whose maps the
// products are written directly, without a Python object per product.
#include "nonlin/dot.h"

#include "numpy_types/npy_api.h"

#include <cstring>
#include <type_traits>
#include <vector>

#include "expression/arithmetic.h"
#include "expression/expression.h"
#include "expression/linterm.h"
#include "expression/quadterm.h"
#include "nonlin/nonlinear.h"
#include "python_model/arrays.h"
#include "python_model/korvo_module.h"
#include "python_model/numbers.h"
#include "python_model/pyref.h"
#include "variable/var.h"

namespace {

PyObject *model_error(const char *message) {
  PyErr_SetString(korvo_model_error, message);
  return nullptr;
}

PyArrayObject *as_array(PyObject *obj) { return reinterpret_cast<PyArrayObject *>(obj); }

bool is_modelling_type(int type_num) {
  return type_num == NPY_OBJECT || type_num == krv_py_env.npvar->type_num || type_num == krv_py_env.npexpr->type_num;
}

bool is_numeric_type(int type_num) {
  return type_num == NPY_INT32 || type_num == NPY_INT64 || type_num == NPY_FLOAT32 || type_num == NPY_FLOAT64;
}

bool is_integer_type(int type_num) { return type_num == NPY_INT32 || type_num == NPY_INT64; }

// Rank of a numeric element type: the result takes the higher one.
int numeric_rank(int type_num) {
  switch (type_num) {
    case NPY_FLOAT64: return 3;
    case NPY_FLOAT32: return 2;
    case NPY_INT64: return 1;
    default: return 0;
  }
}

PyObject *load_slot(const char *slot) {
  PyObject *obj;
  std::memcpy(&obj, slot, sizeof obj);
  return obj;
}

// The single element of a 0-dimensional array: numbers as float, objects as stored.
PyObject *scalar_element(PyArrayObject *array) {
  if (PyArray_SIZE(array) != 1) return model_error("Scalar vector apparently contains more than one element");
  int type_num = PyArray_TYPE(array);
  const char *data = static_cast<const char *>(PyArray_DATA(array));
  if (is_modelling_type(type_num)) {
    PyObject *obj = load_slot(data);
    return Py_NewRef(obj ? obj : Py_None);
  }
  if (!is_numeric_type(type_num)) return model_error("Dot product must be between long, double, and expressions/variables");
  PyRef item(PyArray_GETITEM(array, data));
  return item ? PyFloat_FromDouble(PyFloat_AsDouble(item.get())) : nullptr;
}

// ---- numeric product ------------------------------------------------------------

// Operands as contiguous blocks: a is (I, N), b is (P, N, Q), the result (I, P, Q).
struct Blocks {
  npy_intp I, N, P, Q;
};

template <typename T, bool = std::is_integral_v<T>>
struct Accumulator {
  using type = T;
};
template <typename T>
struct Accumulator<T, true> {
  using type = std::make_unsigned_t<T>;
};

template <typename T>
void numeric_kernel(const void *a_data, const void *b_data, void *r_data, const Blocks &s) {
  // Integers wrap as NumPy's do; unsigned arithmetic keeps that well defined.
  using Acc = typename Accumulator<T>::type;
  const T *a = static_cast<const T *>(a_data);
  const T *b = static_cast<const T *>(b_data);
  T *r = static_cast<T *>(r_data);
  for (npy_intp i = 0; i < s.I; ++i)
    for (npy_intp p = 0; p < s.P; ++p)
      for (npy_intp q = 0; q < s.Q; ++q) {
        Acc sum = 0;
        for (npy_intp k = 0; k < s.N; ++k)
          sum += static_cast<Acc>(a[i * s.N + k]) * static_cast<Acc>(b[(p * s.N + k) * s.Q + q]);
        r[(i * s.P + p) * s.Q + q] = static_cast<T>(sum);
      }
}

int numeric_product(PyArrayObject *a, PyArrayObject *b, PyArrayObject *result, const Blocks &s) {
  switch (PyArray_TYPE(result)) {
    case NPY_FLOAT64: numeric_kernel<npy_float64>(PyArray_DATA(a), PyArray_DATA(b), PyArray_DATA(result), s); break;
    case NPY_FLOAT32: numeric_kernel<npy_float32>(PyArray_DATA(a), PyArray_DATA(b), PyArray_DATA(result), s); break;
    case NPY_INT64: numeric_kernel<npy_int64>(PyArray_DATA(a), PyArray_DATA(b), PyArray_DATA(result), s); break;
    default: numeric_kernel<npy_int32>(PyArray_DATA(a), PyArray_DATA(b), PyArray_DATA(result), s); break;
  }
  return 0;
}

// ---- expression product ---------------------------------------------------------

// One operand element: a number, or a borrowed modelling object.
struct Element {
  bool is_number;
  double number;
  PyObject *obj;
};

// Reads element k of a contiguous operand (float64 for numeric operands).
Element element_at(PyArrayObject *array, bool numeric, npy_intp k) {
  const char *slot = static_cast<const char *>(PyArray_DATA(array)) + k * PyArray_ITEMSIZE(array);
  if (numeric) {
    double v;
    std::memcpy(&v, slot, sizeof v);
    return {true, v, nullptr};
  }
  PyObject *obj = load_slot(slot);
  if (!obj) obj = Py_None;
  if (isNumericScalar(obj)) {
    double v = PyFloat_AsDouble(obj);
    if (!(v == -1.0 && PyErr_Occurred())) return {true, v, nullptr};
    PyErr_Clear();
  }
  return {false, 0.0, obj};
}

// Accumulates products into one expression; products that are nonlinear
// are kept aside and joined at the end.
class ProductSum {
 public:
  int start() {
    sum_ = PyRef(expression_base());
    nonlinear_.reset();
    return sum_ ? 0 : -1;
  }

  // Adds c * obj for a number c.
  int add_scaled(PyObject *obj, double c) {
    switch (getExprType(obj)) {
      case EXPR_CONSTANT:
      case EXPR_VAR:
      case EXPR_LINTERM:
      case EXPR_QUADTERM:
      case EXPR_EXPRESSION: return expression_addObject(sum_.get(), obj, c);
      case EXPR_NONLINEAR: {
        if (c == 0.0) return 0;
        PyRef product(nonlin_copy(obj, c));
        return product ? add_nonlinear(std::move(product)) : -1;
      }
      default: return -1;
    }
  }

  int add_product(const Element &x, const Element &y) {
    if (x.is_number && y.is_number) {
      as_expression(sum_.get())->constant += x.number * y.number;
      return 0;
    }
    if (x.is_number) return add_scaled(y.obj, x.number);
    if (y.is_number) return add_scaled(x.obj, y.number);
    if (isVar(x.obj) && isVar(y.obj)) return expression_addToQuadTerm(sum_.get(), x.obj, y.obj, 1.0);
    PyRef product(general_mul(x.obj, y.obj));
    if (!product) return -1;
    int kind = getExprType(product.get());
    if (kind < 0) return -1;
    if (kind == EXPR_NONLINEAR) return add_nonlinear(std::move(product));
    return expression_addObject(sum_.get(), product.get(), 1.0);
  }

  // The accumulated element (new reference).
  PyObject *finish() {
    if (!nonlinear_) return sum_.release();
    return expression_incremental_alg_sum(sum_.get(), nonlinear_.get(), 1.0);
  }

 private:
  int add_nonlinear(PyRef product) {
    if (!nonlinear_) {
      nonlinear_ = std::move(product);
      return 0;
    }
    PyObject *sum = nonlin_incremental_alg_sum(nonlinear_.get(), product.get(), 1.0);
    if (!sum) return -1;
    nonlinear_.reset(sum);
    return 0;
  }

  PyRef sum_;
  PyRef nonlinear_;
};

int expression_product(PyArrayObject *a, PyArrayObject *b, PyArrayObject *result, const Blocks &s) {
  const bool a_numeric = !is_modelling_type(PyArray_TYPE(a));
  const bool b_numeric = !is_modelling_type(PyArray_TYPE(b));
  char *cells = static_cast<char *>(PyArray_DATA(result));
  ProductSum sum;
  for (npy_intp i = 0; i < s.I; ++i)
    for (npy_intp p = 0; p < s.P; ++p)
      for (npy_intp q = 0; q < s.Q; ++q) {
        if (sum.start() < 0) return -1;
        for (npy_intp k = 0; k < s.N; ++k) {
          Element x = element_at(a, a_numeric, i * s.N + k);
          Element y = element_at(b, b_numeric, (p * s.N + k) * s.Q + q);
          if (sum.add_product(x, y) < 0) return -1;
        }
        PyObject *element = sum.finish();
        if (!element) return -1;
        // The result starts zero-filled: the cell takes the reference.
        std::memcpy(cells + ((i * s.P + p) * s.Q + q) * static_cast<npy_intp>(sizeof(PyObject *)), &element,
                    sizeof element);
      }
  return 0;
}

// ---- array product ------------------------------------------------------------------

// A C-contiguous, aligned version of an operand in the given element type.
PyRef contiguous(PyArrayObject *array, PyArray_Descr *descr) {
  return PyRef(PyArray_FromAny(reinterpret_cast<PyObject *>(array), descr, 0, 0,
                               NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr));
}

bool out_type_fits(int out_type, int ta, int tb, bool expression_result) {
  if (out_type == NPY_OBJECT) return true;
  if (expression_result) return out_type == krv_py_env.npexpr->type_num;
  if (ta == NPY_INT32 && tb == NPY_INT32) return out_type == NPY_INT32;
  if (is_integer_type(ta) && is_integer_type(tb)) return out_type == NPY_INT64;
  if (ta == NPY_FLOAT32 && tb == NPY_FLOAT32) return out_type == NPY_FLOAT32;
  return out_type == NPY_FLOAT64;
}

PyObject *array_product(PyArrayObject *a, PyArrayObject *b, PyObject *out) {
  const int ta = PyArray_TYPE(a), tb = PyArray_TYPE(b);
  bool a_known = is_numeric_type(ta) || is_modelling_type(ta);
  bool b_known = is_numeric_type(tb) || is_modelling_type(tb);
  if (!a_known || !b_known) return model_error("Dot product must be between long, double, and expressions/variables");

  const int na = PyArray_NDIM(a), nb = PyArray_NDIM(b);
  const int b_axis = nb == 1 ? 0 : nb - 2;
  const npy_intp *sa = PyArray_DIMS(a), *sb = PyArray_DIMS(b);
  if (sa[na - 1] != sb[b_axis])
    return model_error("Dot product must occur between NumPy vectors with matching sizes in the multiplying dimension");

  Blocks blocks{1, sa[na - 1], 1, nb == 1 ? 1 : sb[nb - 1]};
  std::vector<npy_intp> shape;
  for (int d = 0; d < na - 1; ++d) {
    blocks.I *= sa[d];
    shape.push_back(sa[d]);
  }
  for (int d = 0; d < nb; ++d) {
    if (d == b_axis) continue;
    if (d < b_axis) blocks.P *= sb[d];
    shape.push_back(sb[d]);
  }

  const bool expression_result = is_modelling_type(ta) || is_modelling_type(tb);
  int result_type = numeric_rank(ta) >= numeric_rank(tb) ? ta : tb;
  if (out) {
    if (!isNumpyArray(out) || !out_type_fits(PyArray_TYPE(as_array(out)), ta, tb, expression_result))
      return model_error(
          "Output argument set with wrong type: must be float/int for products of floats/ints and expression/nonlin "
          "for products of variables/expressions/nonlinear");
    if (!PyArray_ISWRITEABLE(as_array(out)) || PyArray_NDIM(as_array(out)) != static_cast<int>(shape.size()) ||
        !PyArray_CompareLists(PyArray_DIMS(as_array(out)), shape.data(), static_cast<int>(shape.size())))
      return model_error("Could not initialize result of dot product");
  }

  PyArray_Descr *result_descr = expression_result ? krv_py_env.npexpr : PyArray_DescrFromType(result_type);
  if (expression_result) Py_INCREF(result_descr);
  PyRef result(PyArray_NewFromDescr(&PyArray_Type, result_descr, static_cast<int>(shape.size()), shape.data(),
                                    nullptr, nullptr, 0, nullptr));
  if (!result) {
    PyErr_Clear();
    return model_error("Could not initialize result of dot product");
  }

  // Operands in the element type the kernel reads: the result type for
  // numbers, float64 for the numeric side of an expression product.
  auto operand_descr = [&](int type_num) {
    if (is_modelling_type(type_num)) return PyArray_DescrFromType(type_num);
    return PyArray_DescrFromType(expression_result ? NPY_FLOAT64 : result_type);
  };
  PyRef ca = contiguous(a, operand_descr(ta));
  PyRef cb = contiguous(b, operand_descr(tb));
  if (!ca || !cb) return nullptr;
  int rc = expression_result ? expression_product(as_array(ca.get()), as_array(cb.get()), as_array(result.get()), blocks)
                             : numeric_product(as_array(ca.get()), as_array(cb.get()), as_array(result.get()), blocks);
  if (rc < 0) return nullptr;
  if (!out) return result.release();
  if (PyArray_CopyInto(as_array(out), as_array(result.get())) < 0) return nullptr;
  return Py_NewRef(out);
}

int collect_item(PyObject *item, void *context) {
  static_cast<std::vector<PyRef> *>(context)->push_back(PyRef::borrow(item));
  return 0;
}

}  // namespace

PyObject *tensor_mult(PyObject *a, PyObject *b, PyObject *out) {
  if (!a || a == Py_None) {
    if (!isNumpyArray(b)) return model_error("Dot product should only be on NumPy arrays");
    return Py_NewRef(b);
  }
  if (!isNumpyArray(a) || !isNumpyArray(b)) return model_error("Dot product can only occur between NumPy arrays");
  PyArrayObject *aa = as_array(a), *ab = as_array(b);
  bool a_scalar = PyArray_NDIM(aa) == 0, b_scalar = PyArray_NDIM(ab) == 0;
  if (a_scalar && b_scalar) {
    PyRef x(scalar_element(aa));
    if (!x) return nullptr;
    PyRef y(scalar_element(ab));
    if (!y) return nullptr;
    if (isNumericScalar(x.get()) && isNumericScalar(y.get()))
      return PyFloat_FromDouble(PyFloat_AsDouble(x.get()) * PyFloat_AsDouble(y.get()));
    return general_mul(x.get(), y.get());
  }
  if (a_scalar) return model_error("Dot product between incompatible objects: first one is a scalar");
  if (b_scalar) return model_error("Dot product between incompatible objects: second one is a scalar");
  return array_product(aa, ab, out);
}

int convert_const_to_expr(PyObject **obj) {
  PyObject *value = *obj;
  if (isNumericScalar(value)) {
    PyObject *e = expression_copy(value, 1.0);
    if (!e) return -1;
    Py_SETREF(*obj, e);
    return 0;
  }
  if (!isNumpyArray(value)) {
    if (exprKind(value) > EXPR_CONSTANT) return 0;
    PyErr_Clear();
    PyErr_SetString(korvo_model_error, "Wrong expression resulting from cumulated operator (Sum, Prod, Dot)");
    return -1;
  }
  PyArrayObject *array = as_array(value);
  int type_num = PyArray_TYPE(array);
  if (!is_modelling_type(type_num) && !is_numeric_type(type_num)) {
    PyErr_SetString(korvo_model_error, "Invalid object in place of expression/constant");
    return -1;
  }
  // The elements in C order, numbers boxed.
  std::vector<PyRef> items;
  PyRef flat(PyArray_Ravel(array, NPY_CORDER));
  if (!flat) return -1;
  PyRef list(PySequence_List(flat.get()));
  if (!list) return -1;
  bool all_modelling = true;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject *item = PyList_GET_ITEM(list.get(), i);
    int kind = exprKind(item);
    if (kind < EXPR_CONSTANT) {
      PyErr_SetString(korvo_model_error, "Invalid object in place of expression/constant");
      return -1;
    }
    all_modelling = all_modelling && kind > EXPR_CONSTANT;
  }
  if (all_modelling) return 0;
  Py_INCREF(krv_py_env.npexpr);
  PyRef converted(PyArray_NewFromDescr(&PyArray_Type, krv_py_env.npexpr, PyArray_NDIM(array), PyArray_DIMS(array),
                                       nullptr, nullptr, 0, nullptr));
  if (!converted) return -1;
  char *cells = static_cast<char *>(PyArray_DATA(as_array(converted.get())));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject *item = PyList_GET_ITEM(list.get(), i);
    PyObject *element = isNumericScalar(item) ? expression_copy(item, 1.0) : Py_NewRef(item);
    if (!element) return -1;
    std::memcpy(cells + i * static_cast<Py_ssize_t>(sizeof(PyObject *)), &element, sizeof element);
  }
  Py_SETREF(*obj, converted.release());
  return 0;
}

PyObject *korvomod_Dot(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"out", nullptr};
  PyObject *out = nullptr;
  PyRef no_args(PyTuple_New(0));
  if (!no_args ||
      !PyArg_ParseTupleAndKeywords(no_args.get(), kwargs, "|$O:Dot", const_cast<char **>(keywords), &out))
    return nullptr;
  if (out == Py_None) out = nullptr;

  std::vector<PyRef> items;
  if (PyTuple_GET_SIZE(args) == 1 && isNumpyArray(PyTuple_GET_ITEM(args, 0)))
    items.push_back(PyRef::borrow(PyTuple_GET_ITEM(args, 0)));
  else if (reduction_walk(args, collect_item, &items) < 0)
    return nullptr;
  if (items.empty()) return PyFloat_FromDouble(0.0);

  PyRef acc;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject *step = tensor_mult(acc.get(), items[i].get(), i + 1 == items.size() ? out : nullptr);
    if (!step) return nullptr;
    acc.reset(step);
  }
  return acc.release();
}
