// Module definition and start-up: types, global state, exceptions,
// constants and the module-wide controls object.
#include <Python.h>

#include <vector>

#include "problem/controls.h"
#include "problem/problem_methods.h"
#include "numpy_types/numpy_types.h"
#include "python_model/korvo_module.h"
#include "python_model/method_tables.h"
#include "python_model/pyref.h"

krv_py_env_s krv_py_env;

PyObject *korvo_model_error = nullptr;
PyObject *korvo_interface_error = nullptr;
PyObject *korvo_unknown_name_error = nullptr;
PyObject *korvo_solver_error = nullptr;

namespace {

struct ConstantRow {
  const char *name;
  int kind;  // 0 int, 1 float
  double value;
};

const ConstantRow constant_table[] = {
#define KORVO_CONSTANT(name, kind, value) {name, kind, double(value)},
#include "python_model/constants.def"
#undef KORVO_CONSTANT
    {nullptr, 0, 0.0}};

// Every type in start-up order, with the name published for it (null: readied only).
struct TypeEntry {
  PyTypeObject *type;
  const char *published_name;
};
TypeEntry all_types[] = {
    {&korvo_varType, "var"},           {&korvo_sosType, "sos"},
    {&korvo_expressionType, "expression"}, {&korvo_constraintType, "constraint"},
    {&korvo_ctrlType, nullptr},        {&korvo_attrType, nullptr},
    {&korvo_problemType, "problem"},   {&korvo_branchobjType, "branchobj"},
    {&korvo_poolcutType, "poolcut"},   {&korvo_krvsobjectType, nullptr},
    {&korvo_voidstarType, nullptr},    {&korvo_lintermType, nullptr},
    {&korvo_quadtermType, nullptr},    {&korvo_nonlinType, nullptr},
};
// Publication order of the types.
const char *const published_order[] = {"var", "expression", "sos", "constraint", "problem", "branchobj", "poolcut"};

std::vector<PyMethodDef> &merged_methods() {
  static std::vector<PyMethodDef> methods;
  return methods;
}

void korvomod_freeModule(void *);

PyModuleDef korvo_module_def = {
    PyModuleDef_HEAD_INIT,
    "korvolib",
    "Create, solve, query and handle optimization problems with the korvo optimizer.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    korvomod_freeModule,
};

int init_mutexes() {
  for (auto &m : krv_py_env.mutexes)
    if (pthread_mutex_init(&m, nullptr) != 0) return -1;
  return 0;
}

void destroy_mutexes() {
  for (auto &m : krv_py_env.mutexes) pthread_mutex_destroy(&m);
}

void release_global_objects() {
  Py_CLEAR(krv_py_env.controls);
  Py_CLEAR(krv_py_env.default_controls);
  Py_CLEAR(krv_py_env.ctrl_info);
  Py_CLEAR(krv_py_env.attr_info);
  Py_CLEAR(krv_py_env.msg_handlers);
}

void free_side_tables() {
  boundmap_free(&krv_py_env.con_lb_map);
  boundmap_free(&krv_py_env.con_ub_map);
  boundmap_free(&krv_py_env.var_lb_map);
  boundmap_free(&krv_py_env.var_ub_map);
  boundmap_free(&krv_py_env.var_threshold_map);
  namemap_free(&krv_py_env.con_name_map);
  namemap_free(&krv_py_env.var_name_map);
}

int fill_global_state() {
  krv_py_env.controls = ctrl_new_module_level();
  krv_py_env.default_controls = PyDict_New();
  krv_py_env.ctrl_info = PyDict_New();
  krv_py_env.attr_info = PyDict_New();
  krv_py_env.msg_handlers = PyList_New(0);
  krv_py_env.lib_use_count = 0;
  krv_py_env.output_enabled = 1;
  krv_py_env.con_lb_map = boundmap_new();
  krv_py_env.con_ub_map = boundmap_new();
  krv_py_env.var_lb_map = boundmap_new();
  krv_py_env.var_ub_map = boundmap_new();
  krv_py_env.var_threshold_map = boundmap_new();
  krv_py_env.con_name_map = namemap_new();
  krv_py_env.var_name_map = namemap_new();
  if (!krv_py_env.controls || !krv_py_env.default_controls || !krv_py_env.ctrl_info ||
      !krv_py_env.attr_info || !krv_py_env.msg_handlers || !krv_py_env.con_lb_map ||
      !krv_py_env.con_ub_map || !krv_py_env.var_lb_map || !krv_py_env.var_ub_map ||
      !krv_py_env.var_threshold_map || !krv_py_env.con_name_map || !krv_py_env.var_name_map)
    return -1;
  return 0;
}

// Sets the identity counters and publishes the constant table.
int init_structures(PyObject *module) {
  krv_py_env.next_var_id = 1;
  krv_py_env.next_con_id = 1;
  krv_py_env.next_sos_id = 1;
  for (const ConstantRow *row = constant_table; row->name; ++row) {
    PyRef value(row->kind == 0 ? PyLong_FromDouble(row->value) : PyFloat_FromDouble(row->value));
    if (!value || PyModule_AddObjectRef(module, row->name, value.get()) < 0) return -1;
  }
  return 0;
}

int add_type(PyObject *module, const char *name) {
  for (const auto &entry : all_types)
    if (entry.published_name && strcmp(entry.published_name, name) == 0)
      return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject *>(entry.type));
  return -1;
}

PyObject *fail_initialisation(PyObject *module) {
  Py_XDECREF(module);
  release_global_objects();
  destroy_mutexes();
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "Error initializing the Korvo module");
  return nullptr;
}

void korvomod_freeModule(void *) {
  release_global_objects();
  free_side_tables();
  for (auto &entry : all_types) Py_DECREF(reinterpret_cast<PyObject *>(entry.type));
  turnKRVSoff(0);
  destroy_mutexes();
}

}  // namespace

PyMODINIT_FUNC PyInit_korvolib(void) {
  if (init_mutexes() != 0) {
    PyErr_SetString(PyExc_RuntimeError, "Error initializing the Korvo module");
    return nullptr;
  }
  for (auto &entry : all_types)
    if (!entry.type->tp_new) entry.type->tp_new = PyType_GenericNew;
  if (problem_type_prepare() < 0 || pickling_prepare_types() < 0) return fail_initialisation(nullptr);
  for (auto &entry : all_types)
    if (PyType_Ready(entry.type) < 0) return fail_initialisation(nullptr);

  // The module function table is the union of the tables of each part.
  auto &methods = merged_methods();
  if (methods.empty()) {
    for (PyMethodDef *table : {korvo_library_methods, korvo_output_methods, korvo_arrays_methods,
                               korvo_nonlinear_methods, korvo_pickling_methods})
      for (PyMethodDef *def = table; def->ml_name; ++def) methods.push_back(*def);
    methods.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    korvo_module_def.m_methods = methods.data();
  }
  PyObject *module = PyModule_Create2(&korvo_module_def, 1013);
  if (!module) return fail_initialisation(nullptr);

  if (fill_global_state() < 0) return fail_initialisation(module);
  if (ctrl_attr_fill_typeobj(0) < 0) return fail_initialisation(module);

  korvo_model_error = PyErr_NewException("korvo.ModelError", nullptr, nullptr);
  korvo_interface_error = PyErr_NewException("korvo.InterfaceError", nullptr, nullptr);
  korvo_solver_error = PyErr_NewException("korvo.SolverError", nullptr, nullptr);
  if (!korvo_model_error || !korvo_interface_error || !korvo_solver_error) return fail_initialisation(module);
  {
    // Unknown names of controls and attributes: an InterfaceError that is
    // also an AttributeError, as hasattr(), getattr(obj, name, default) and
    // help() expect of a missing attribute.
    PyRef bases(PyTuple_Pack(2, korvo_interface_error, PyExc_AttributeError));
    korvo_unknown_name_error = bases ? PyErr_NewException("korvo.UnknownNameError", bases.get(), nullptr) : nullptr;
    if (!korvo_unknown_name_error) return fail_initialisation(module);
  }

  for (const char *name : published_order)
    if (add_type(module, name) < 0) return fail_initialisation(module);
  if (PyModule_AddObjectRef(module, "ModelError", korvo_model_error) < 0 ||
      PyModule_AddObjectRef(module, "InterfaceError", korvo_interface_error) < 0 ||
      PyModule_AddObjectRef(module, "SolverError", korvo_solver_error) < 0 ||
      PyModule_AddObjectRef(module, "UnknownNameError", korvo_unknown_name_error) < 0)
    return fail_initialisation(module);
  if (setAltNumOps() < 0) return fail_initialisation(module);
  if (init_structures(module) < 0) return fail_initialisation(module);
  if (numpy_types_publish(module) < 0) return fail_initialisation(module);

  // Every problem starts with the nonlinear solver's postsolve switched on.
  {
    PyRef one(PyLong_FromLong(1));
    if (!one || ctrl_set_module_default("knls_postsolve", one.get()) < 0) return fail_initialisation(module);
  }
  if (PyModule_AddObjectRef(module, "controls", krv_py_env.controls) < 0) return fail_initialisation(module);
  return module;
}
