// korvo.Dot: NumPy's dot rule over arrays of numbers and modelling objects.
//
// The product pairs the last axis of a with the second-to-last axis of b
// (the only axis of a vector b). Numeric operands give a numeric array;
// otherwise each result element is one expression into whose maps the
// products are written directly, without a Python object per product.
// A sparse matrix on either side of an array is read through its own
// tocsr() and multiplied from its stored entries only.
#include "nonlin/dot.h"

#include "numpy_types/npy_api.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
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

// An operand element classified once: kind EXPR_CONSTANT with its number,
// or a modelling object (borrowed) with its kind.
struct Operand {
  int kind;
  double number;
  PyObject *obj;
};

// Classifies every element of a contiguous modelling array. An element that
// is neither a number nor a modelling object raises the error that the
// product itself would raise on meeting it.
int classify_operand(PyArrayObject *array, std::vector<Operand> *operands, bool *all_variables = nullptr) {
  const npy_intp size = PyArray_SIZE(array);
  if (all_variables) *all_variables = true;
  operands->resize(static_cast<size_t>(size));
  for (npy_intp k = 0; k < size; ++k) {
    Element e = element_at(array, false, k);
    if (e.is_number) {
      (*operands)[static_cast<size_t>(k)] = {EXPR_CONSTANT, e.number, nullptr};
      continue;
    }
    int kind = getExprType(e.obj);
    if (kind < 0) return -1;
    if (all_variables && kind != EXPR_VAR) *all_variables = false;
    (*operands)[static_cast<size_t>(k)] = {kind, 0.0, e.obj};
  }
  return 0;
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

  // Adds c * x for an operand element classified by classify_operand.
  int add_times(const Operand &x, double c) {
    switch (x.kind) {
      case EXPR_CONSTANT: as_expression(sum_.get())->constant += c * x.number; return 0;
      case EXPR_VAR: return expression_addToLinTerm(sum_.get(), x.obj, c);
      default: return add_scaled(x.obj, c);
    }
  }

  // Room for count more linear terms, so that a row of variables fills its
  // map without regrowing it (count is a bound: entries may merge).
  int reserve_linear(size_t count) {
    expression_s *e = as_expression(sum_.get());
    linmap *lin = expression_make_lin(e);
    if (linmap_reserve(lin, linmap_size(lin) + count) < 0) {
      PyErr_NoMemory();
      return -1;
    }
    return 0;
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

// Fills every cell (i, p, q) of an object result with the sum over k of
// add_term(sum, i, p, q, k), each of which adds one product to sum.
template <class AddTerm>
int fill_product_cells(PyArrayObject *result, const Blocks &s, AddTerm add_term) {
  char *cells = static_cast<char *>(PyArray_DATA(result));
  ProductSum sum;
  for (npy_intp i = 0; i < s.I; ++i)
    for (npy_intp p = 0; p < s.P; ++p)
      for (npy_intp q = 0; q < s.Q; ++q) {
        if (sum.start() < 0) return -1;
        for (npy_intp k = 0; k < s.N; ++k)
          if (add_term(sum, i, p, q, k) < 0) return -1;
        PyObject *element = sum.finish();
        if (!element) return -1;
        // The result starts zero-filled: the cell takes the reference.
        std::memcpy(cells + ((i * s.P + p) * s.Q + q) * static_cast<npy_intp>(sizeof(PyObject *)), &element,
                    sizeof element);
      }
  return 0;
}

// A numeric operand (float64) times a modelling one: each element of the
// modelling operand meets many numbers, so it is classified once rather
// than at every product.
int scaled_product(PyArrayObject *a, PyArrayObject *b, bool a_numeric, PyArrayObject *result, const Blocks &s) {
  if (PyArray_SIZE(result) == 0) return 0;
  std::vector<Operand> objects;
  if (classify_operand(a_numeric ? b : a, &objects) < 0) return -1;
  const double *numbers = static_cast<const double *>(PyArray_DATA(a_numeric ? a : b));
  return fill_product_cells(result, s, [&](ProductSum &sum, npy_intp i, npy_intp p, npy_intp q, npy_intp k) {
    const npy_intp ka = i * s.N + k, kb = (p * s.N + k) * s.Q + q;
    const Operand &x = objects[static_cast<size_t>(a_numeric ? kb : ka)];
    return sum.add_times(x, numbers[a_numeric ? ka : kb]);
  });
}

int expression_product(PyArrayObject *a, PyArrayObject *b, PyArrayObject *result, const Blocks &s) {
  const bool a_numeric = !is_modelling_type(PyArray_TYPE(a));
  const bool b_numeric = !is_modelling_type(PyArray_TYPE(b));
  if (a_numeric != b_numeric) return scaled_product(a, b, a_numeric, result, s);
  return fill_product_cells(result, s, [&](ProductSum &sum, npy_intp i, npy_intp p, npy_intp q, npy_intp k) {
    Element x = element_at(a, a_numeric, i * s.N + k);
    Element y = element_at(b, b_numeric, (p * s.N + k) * s.Q + q);
    return sum.add_product(x, y);
  });
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

// Checks out against the product (element types ta and tb, the given
// shape) and allocates the result array: null with ModelError on failure.
PyRef new_result(PyObject *out, const std::vector<npy_intp> &shape, int ta, int tb, bool expression_result,
                 int result_type) {
  if (out) {
    if (!isNumpyArray(out) || !out_type_fits(PyArray_TYPE(as_array(out)), ta, tb, expression_result)) {
      model_error(
          "Output argument set with wrong type: must be float/int for products of floats/ints and expression/nonlin "
          "for products of variables/expressions/nonlinear");
      return PyRef();
    }
    if (!PyArray_ISWRITEABLE(as_array(out)) || PyArray_NDIM(as_array(out)) != static_cast<int>(shape.size()) ||
        !PyArray_CompareLists(PyArray_DIMS(as_array(out)), shape.data(), static_cast<int>(shape.size()))) {
      model_error("Could not initialize result of dot product");
      return PyRef();
    }
  }
  PyArray_Descr *result_descr = expression_result ? krv_py_env.npexpr : PyArray_DescrFromType(result_type);
  if (expression_result) Py_INCREF(result_descr);
  PyRef result(PyArray_NewFromDescr(&PyArray_Type, result_descr, static_cast<int>(shape.size()), shape.data(),
                                    nullptr, nullptr, 0, nullptr));
  if (!result) {
    PyErr_Clear();
    model_error("Could not initialize result of dot product");
  }
  return result;
}

// The finished product: the result itself, or out after copying it there.
PyObject *deliver(PyRef result, PyObject *out) {
  if (!out) return result.release();
  if (PyArray_CopyInto(as_array(out), as_array(result.get())) < 0) return nullptr;
  return Py_NewRef(out);
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
  PyRef result = new_result(out, shape, ta, tb, expression_result, result_type);
  if (!result) return nullptr;

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
  return deliver(std::move(result), out);
}

// ---- sparse matrix operands ---------------------------------------------------------

// A sparse matrix is recognised by what it offers (korvo does not depend on
// the library that provides it): tocsr(), shape and nnz. The product then
// works from the stored entries only.
bool is_sparse_matrix(PyObject *obj) {
  return !isNumpyArray(obj) && PyObject_HasAttrString(obj, "tocsr") && PyObject_HasAttrString(obj, "shape") &&
         PyObject_HasAttrString(obj, "nnz");
}

const char kWrongElementType[] = "Dot product must be between long, double, and expressions/variables";
const char kSizeMismatch[] =
    "Dot product must occur between NumPy vectors with matching sizes in the multiplying dimension";
const char kNotAMatrix[] = "Sparse operand of a dot product must have two dimensions";
const char kBadStructure[] =
    "Sparse operand of a dot product has an invalid structure: row pointers, column indices or values out of "
    "range";

// The rows of a sparse matrix as its own tocsr() gives them: row i holds
// entries start[i] .. start[i + 1] - 1 of index and of the value array,
// whatever the order and repetition of its column indices. The structure
// is checked, so every index is a valid column.
struct SparseRows {
  npy_intp rows = 0, cols = 0;
  PyRef start_array, index_array, value_array;
  const npy_intp *start = nullptr;
  const npy_intp *index = nullptr;
  int stored_type = NPY_NOTYPE;  // element type of the stored values

  const void *values() const { return PyArray_DATA(as_array(value_array.get())); }

  // Replaces the values by a contiguous copy in the given element type.
  int cast_values(int type_num) {
    PyRef cast(PyArray_FromAny(value_array.get(), PyArray_DescrFromType(type_num), 1, 1,
                               NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr));
    if (!cast) return -1;
    value_array = std::move(cast);
    return 0;
  }
};

// obj.name as a one-dimensional NumPy array.
PyRef vector_attribute(PyObject *obj, const char *name) {
  PyRef attr(PyObject_GetAttrString(obj, name));
  if (!attr) return attr;
  PyRef array(PyArray_FROM_O(attr.get()));
  if (array && PyArray_NDIM(as_array(array.get())) != 1) {
    model_error(kBadStructure);
    return PyRef();
  }
  return array;
}

// An integer array attribute as contiguous npy_intp.
PyRef index_attribute(PyObject *obj, const char *name) {
  PyRef array = vector_attribute(obj, name);
  if (!array) return array;
  if (!PyArray_ISINTEGER(as_array(array.get()))) {
    model_error(kBadStructure);
    return PyRef();
  }
  return PyRef(PyArray_FromAny(array.get(), PyArray_DescrFromType(NPY_INTP), 1, 1,
                               NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr));
}

npy_intp dimension(PyObject *shape, Py_ssize_t d) {
  npy_intp n = PyNumber_AsSsize_t(PyTuple_GET_ITEM(shape, d), PyExc_OverflowError);
  if (n < 0 && !PyErr_Occurred()) model_error(kNotAMatrix);
  return n;
}

int read_sparse_rows(PyObject *matrix, SparseRows *m) {
  PyRef csr(PyObject_CallMethod(matrix, "tocsr", nullptr));
  if (!csr) return -1;
  PyRef shape(PyObject_GetAttrString(csr.get(), "shape"));
  if (!shape) return -1;
  if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2) {
    model_error(kNotAMatrix);
    return -1;
  }
  if ((m->rows = dimension(shape.get(), 0)) < 0 || (m->cols = dimension(shape.get(), 1)) < 0) return -1;
  if (!(m->start_array = index_attribute(csr.get(), "indptr"))) return -1;
  if (!(m->index_array = index_attribute(csr.get(), "indices"))) return -1;
  if (!(m->value_array = vector_attribute(csr.get(), "data"))) return -1;
  m->stored_type = PyArray_TYPE(as_array(m->value_array.get()));
  m->start = static_cast<const npy_intp *>(PyArray_DATA(as_array(m->start_array.get())));
  m->index = static_cast<const npy_intp *>(PyArray_DATA(as_array(m->index_array.get())));

  // Every entry that a row points to must exist and name a valid column.
  const npy_intp entries = std::min(PyArray_SIZE(as_array(m->index_array.get())),
                                    PyArray_SIZE(as_array(m->value_array.get())));
  bool valid = PyArray_SIZE(as_array(m->start_array.get())) == m->rows + 1 && m->start[0] >= 0 &&
               m->start[m->rows] <= entries;
  for (npy_intp i = 0; valid && i < m->rows; ++i) valid = m->start[i] <= m->start[i + 1];
  for (npy_intp e = valid ? m->start[0] : 0; valid && e < m->start[m->rows]; ++e)
    valid = m->index[e] >= 0 && m->index[e] < m->cols;
  if (!valid) {
    model_error(kBadStructure);
    return -1;
  }
  return 0;
}

// Lines (rows or columns) of a sparse matrix with float64 values: line l
// holds entries start[l] .. start[l + 1] - 1 of index and value.
struct Lines {
  npy_intp count = 0;
  const npy_intp *start = nullptr;
  const npy_intp *index = nullptr;
  const double *value = nullptr;
  std::vector<npy_intp> own_start, own_index;  // filled for columns
  std::vector<double> own_value;
};

void rows_as_lines(const SparseRows &m, Lines *lines) {
  lines->count = m.rows;
  lines->start = m.start;
  lines->index = m.index;
  lines->value = static_cast<const double *>(m.values());
}

// Columns by a counting sort over the rows in order, so that each column
// lists its rows in increasing order and repeated entries stay adjacent in
// their stored order.
void columns_as_lines(const SparseRows &m, Lines *lines) {
  const double *value = static_cast<const double *>(m.values());
  const npy_intp first = m.start[0], last = m.start[m.rows];
  lines->own_start.assign(static_cast<size_t>(m.cols) + 1, 0);
  for (npy_intp e = first; e < last; ++e) ++lines->own_start[static_cast<size_t>(m.index[e]) + 1];
  for (npy_intp j = 0; j < m.cols; ++j)
    lines->own_start[static_cast<size_t>(j) + 1] += lines->own_start[static_cast<size_t>(j)];
  lines->own_index.resize(static_cast<size_t>(last - first));
  lines->own_value.resize(static_cast<size_t>(last - first));
  std::vector<npy_intp> fill(lines->own_start.begin(), lines->own_start.end() - 1);
  for (npy_intp i = 0; i < m.rows; ++i)
    for (npy_intp e = m.start[i]; e < m.start[i + 1]; ++e) {
      size_t slot = static_cast<size_t>(fill[static_cast<size_t>(m.index[e])]++);
      lines->own_index[slot] = i;
      lines->own_value[slot] = value[e];
    }
  lines->count = m.cols;
  lines->start = lines->own_start.data();
  lines->index = lines->own_index.data();
  lines->value = lines->own_value.data();
}

// Reads one line at a time in canonical form: increasing indices, repeated
// entries summed, zero coefficients dropped. Expressions are then filled in
// variable order and never receive a zero term. A line already in that form
// is read in place.
class LineReader {
 public:
  struct Span {
    const npy_intp *index;
    const double *value;
    npy_intp size;
  };

  Span read(const Lines &lines, npy_intp l) {
    const npy_intp first = lines.start[l], size = lines.start[l + 1] - first;
    const npy_intp *index = lines.index + first;
    const double *value = lines.value + first;
    bool canonical = true, ordered = true;
    for (npy_intp t = 0; t < size; ++t) {
      if (value[t] == 0.0) canonical = false;
      if (t > 0 && index[t] <= index[t - 1]) {
        canonical = false;
        if (index[t] < index[t - 1]) ordered = false;
      }
    }
    if (canonical) return {index, value, size};

    entries_.clear();
    for (npy_intp t = 0; t < size; ++t) entries_.emplace_back(index[t], value[t]);
    if (!ordered)
      std::stable_sort(entries_.begin(), entries_.end(),
                       [](const auto &x, const auto &y) { return x.first < y.first; });
    index_.clear();
    value_.clear();
    for (size_t t = 0; t < entries_.size();) {
      double sum = 0.0;
      size_t run = t;
      for (; run < entries_.size() && entries_[run].first == entries_[t].first; ++run) sum += entries_[run].second;
      if (sum != 0.0) {
        index_.push_back(entries_[t].first);
        value_.push_back(sum);
      }
      t = run;
    }
    return {index_.data(), value_.data(), static_cast<npy_intp>(index_.size())};
  }

 private:
  std::vector<std::pair<npy_intp, double>> entries_;
  std::vector<npy_intp> index_;
  std::vector<double> value_;
};

void store_cell(char *cells, npy_intp position, PyObject *element) {
  std::memcpy(cells + position * static_cast<npy_intp>(sizeof(PyObject *)), &element, sizeof element);
}

// Sparse (I x N) times operand (P, N, Q): result (I, P, Q).
// With reserve (operands all variables), each element's map is sized once
// for its line.
int sparse_times_operand(const Lines &rows, const std::vector<Operand> &b, bool reserve, const Blocks &s,
                         char *cells) {
  LineReader reader;
  ProductSum sum;
  // Against a vector, the terms of the rows reach operand entries and their
  // objects scattered over the whole vector, each a cache and TLB miss the
  // sum then waits for. They are fetched ahead along the stored entries:
  // the operand entries 64 terms on, their objects 32 terms on (by then
  // their entries are in cache). A 10^6 x 4*10^6 product with 10 terms a
  // row took 2.0-3.1 s without and 1.1-1.9 s with it.
  const bool fetch_ahead = s.P == 1 && s.Q == 1;
  constexpr npy_intp kEntriesAhead = 64, kObjectsAhead = 32;
  const npy_intp stored_end = rows.start[s.I];
  npy_intp entries_fetched = rows.start[0], objects_fetched = rows.start[0];
  for (npy_intp i = 0; i < s.I; ++i) {
    if (fetch_ahead) {
      for (const npy_intp until = std::min(stored_end, rows.start[i + 1] + kEntriesAhead); entries_fetched < until;
           ++entries_fetched)
        __builtin_prefetch(&b[size_t(rows.index[entries_fetched])]);
      for (const npy_intp until = std::min(stored_end, rows.start[i + 1] + kObjectsAhead); objects_fetched < until;
           ++objects_fetched)
        if (PyObject *obj = b[size_t(rows.index[objects_fetched])].obj) __builtin_prefetch(obj, 1);
    }
    LineReader::Span row = reader.read(rows, i);
    for (npy_intp p = 0; p < s.P; ++p)
      for (npy_intp q = 0; q < s.Q; ++q) {
        if (sum.start() < 0) return -1;
        if (reserve && row.size > 0 && sum.reserve_linear(static_cast<size_t>(row.size)) < 0) return -1;
        for (npy_intp t = 0; t < row.size; ++t)
          if (sum.add_times(b[static_cast<size_t>((p * s.N + row.index[t]) * s.Q + q)], row.value[t]) < 0)
            return -1;
        PyObject *element = sum.finish();
        if (!element) return -1;
        store_cell(cells, (i * s.P + p) * s.Q + q, element);
      }
  }
  return 0;
}

// Operand (I, N) times sparse (N x columns.count): result (I, columns.count).
int operand_times_sparse(const std::vector<Operand> &a, const Lines &columns, bool reserve, npy_intp I, npy_intp N,
                         char *cells) {
  LineReader reader;
  ProductSum sum;
  for (npy_intp j = 0; j < columns.count; ++j) {
    LineReader::Span column = reader.read(columns, j);
    for (npy_intp i = 0; i < I; ++i) {
      if (sum.start() < 0) return -1;
      if (reserve && column.size > 0 && sum.reserve_linear(static_cast<size_t>(column.size)) < 0) return -1;
      for (npy_intp t = 0; t < column.size; ++t)
        if (sum.add_times(a[static_cast<size_t>(i * N + column.index[t])], column.value[t]) < 0) return -1;
      PyObject *element = sum.finish();
      if (!element) return -1;
      store_cell(cells, i * columns.count + j, element);
    }
  }
  return 0;
}

// Numeric products in the result type T, integers wrapping as NumPy's do.
template <typename T>
void sparse_numeric_kernel(const SparseRows &m, const void *dense_data, void *result_data, bool sparse_left,
                           const Blocks &s) {
  using Acc = typename Accumulator<T>::type;
  const T *a = static_cast<const T *>(m.values());
  const T *x = static_cast<const T *>(dense_data);
  T *r = static_cast<T *>(result_data);
  if (sparse_left) {
    for (npy_intp i = 0; i < m.rows; ++i)
      for (npy_intp p = 0; p < s.P; ++p)
        for (npy_intp q = 0; q < s.Q; ++q) {
          Acc sum = 0;
          for (npy_intp e = m.start[i]; e < m.start[i + 1]; ++e)
            sum += static_cast<Acc>(a[e]) * static_cast<Acc>(x[(p * s.N + m.index[e]) * s.Q + q]);
          r[(i * s.P + p) * s.Q + q] = static_cast<T>(sum);
        }
    return;
  }
  // x is (I, rows); every stored entry (k, j) adds x[i, k] * a to r[i, j].
  for (npy_intp i = 0; i < s.I; ++i) {
    T *row = r + i * m.cols;
    for (npy_intp j = 0; j < m.cols; ++j) row[j] = 0;
    for (npy_intp k = 0; k < m.rows; ++k) {
      const Acc xk = static_cast<Acc>(x[i * m.rows + k]);
      for (npy_intp e = m.start[k]; e < m.start[k + 1]; ++e)
        row[m.index[e]] = static_cast<T>(static_cast<Acc>(row[m.index[e]]) + xk * static_cast<Acc>(a[e]));
    }
  }
}

void sparse_numeric_product(const SparseRows &m, PyArrayObject *dense, PyArrayObject *result, bool sparse_left,
                            const Blocks &s) {
  const void *x = PyArray_DATA(dense);
  void *r = PyArray_DATA(result);
  switch (PyArray_TYPE(result)) {
    case NPY_FLOAT64: sparse_numeric_kernel<npy_float64>(m, x, r, sparse_left, s); break;
    case NPY_FLOAT32: sparse_numeric_kernel<npy_float32>(m, x, r, sparse_left, s); break;
    case NPY_INT64: sparse_numeric_kernel<npy_int64>(m, x, r, sparse_left, s); break;
    default: sparse_numeric_kernel<npy_int32>(m, x, r, sparse_left, s); break;
  }
}

// Values that an expression product accepts from a sparse matrix: booleans,
// integers and real floating types, read as float64.
bool is_real_type(int type_num) {
  return PyTypeNum_ISBOOL(type_num) || PyTypeNum_ISINTEGER(type_num) || PyTypeNum_ISFLOAT(type_num);
}

// matrix @ dense (sparse_left) or dense @ matrix, with the shape, element
// type and out rules of the dense product.
PyObject *sparse_product(PyObject *matrix, PyArrayObject *dense, bool sparse_left, PyObject *out) {
  const int td = PyArray_TYPE(dense);
  if (!is_numeric_type(td) && !is_modelling_type(td)) return model_error(kWrongElementType);
  SparseRows m;
  if (read_sparse_rows(matrix, &m) < 0) return nullptr;
  const bool expression_result = is_modelling_type(td);
  if (expression_result ? !is_real_type(m.stored_type) : !is_numeric_type(m.stored_type))
    return model_error(kWrongElementType);

  const int nd = PyArray_NDIM(dense);
  const npy_intp *sd = PyArray_DIMS(dense);
  Blocks blocks{1, 1, 1, 1};
  std::vector<npy_intp> shape;
  if (sparse_left) {
    const int axis = nd == 1 ? 0 : nd - 2;
    if (sd[axis] != m.cols) return model_error(kSizeMismatch);
    blocks = {m.rows, m.cols, 1, nd == 1 ? 1 : sd[nd - 1]};
    shape.push_back(m.rows);
    for (int d = 0; d < nd; ++d) {
      if (d == axis) continue;
      if (d < axis) blocks.P *= sd[d];
      shape.push_back(sd[d]);
    }
  } else {
    if (sd[nd - 1] != m.rows) return model_error(kSizeMismatch);
    blocks = {1, m.rows, 1, m.cols};
    for (int d = 0; d < nd - 1; ++d) {
      blocks.I *= sd[d];
      shape.push_back(sd[d]);
    }
    shape.push_back(m.cols);
  }

  const int result_type = numeric_rank(m.stored_type) >= numeric_rank(td) ? m.stored_type : td;
  const int ta = sparse_left ? m.stored_type : td, tb = sparse_left ? td : m.stored_type;
  PyRef result = new_result(out, shape, ta, tb, expression_result, result_type);
  if (!result) return nullptr;
  PyRef operand = contiguous(dense, PyArray_DescrFromType(expression_result ? td : result_type));
  if (!operand || m.cast_values(expression_result ? NPY_FLOAT64 : result_type) < 0) return nullptr;

  if (!expression_result) {
    sparse_numeric_product(m, as_array(operand.get()), as_array(result.get()), sparse_left, blocks);
    return deliver(std::move(result), out);
  }
  std::vector<Operand> elements;
  bool all_variables = false;
  if (PyArray_SIZE(as_array(result.get())) > 0 &&
      classify_operand(as_array(operand.get()), &elements, &all_variables) < 0)
    return nullptr;
  Lines lines;
  char *cells = static_cast<char *>(PyArray_DATA(as_array(result.get())));
  int rc;
  if (sparse_left) {
    rows_as_lines(m, &lines);
    rc = sparse_times_operand(lines, elements, all_variables, blocks, cells);
  } else {
    columns_as_lines(m, &lines);
    rc = operand_times_sparse(elements, lines, all_variables, blocks.I, m.rows, cells);
  }
  if (rc < 0) return nullptr;
  return deliver(std::move(result), out);
}

// The product of a sparse matrix and an operand of any kind.
PyObject *product_with_sparse(PyObject *a, PyObject *b, bool a_sparse, bool b_sparse, PyObject *out) {
  if (a_sparse && b_sparse)
    return model_error("Dot product of two sparse matrices is not supported: multiply them with their own @ first");
  PyObject *dense = a_sparse ? b : a;
  if (!isNumpyArray(dense)) return model_error("Dot product can only occur between NumPy arrays");
  if (PyArray_NDIM(as_array(dense)) == 0)
    return model_error(a_sparse ? "Dot product between incompatible objects: second one is a scalar"
                                : "Dot product between incompatible objects: first one is a scalar");
  try {
    return sparse_product(a_sparse ? a : b, as_array(dense), a_sparse, out);
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
}

int collect_item(PyObject *item, void *context) {
  static_cast<std::vector<PyRef> *>(context)->push_back(PyRef::borrow(item));
  return 0;
}

}  // namespace

PyObject *tensor_mult(PyObject *a, PyObject *b, PyObject *out) {
  if (!a || a == Py_None) {
    if (!isNumpyArray(b) && !is_sparse_matrix(b)) return model_error("Dot product should only be on NumPy arrays");
    return Py_NewRef(b);
  }
  const bool a_sparse = is_sparse_matrix(a), b_sparse = is_sparse_matrix(b);
  if (a_sparse || b_sparse) return product_with_sparse(a, b, a_sparse, b_sparse, out);
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
  try {
    return array_product(aa, ab, out);
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
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
  if (PyTuple_GET_SIZE(args) == 1 &&
      (isNumpyArray(PyTuple_GET_ITEM(args, 0)) || is_sparse_matrix(PyTuple_GET_ITEM(args, 0))))
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
