// Problem methods of the nonlinear solver's multistart: jobs, presets and
// clearing them. One table row each.
#include <Python.h>

#include <string>
#include <vector>

#include "api/conversion.h"
#include "api/wrapper_table.h"
#include "knls.h"
#include "problem/controls.h"
#include "problem/problem.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"

namespace {

// Controls of a job, by type.
struct job_controls {
  std::vector<int> int_ids, int_values, dbl_ids;
  std::vector<double> dbl_values;
};

// Reads the control dictionary of msaddjob / msaddcustompreset (None: no
// controls); 0, or -1 with InterfaceError.
int read_controls(PyObject *control, const char *method, job_controls &out) {
  if (!control || control == Py_None) return 0;
  if (!PyDict_Check(control)) {
    PyErr_Format(korvo_interface_error, "Incorrect argument 'control' in %s: must be a dictionary", method);
    return -1;
  }
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(control, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(korvo_interface_error, "Incorrect key in parameter 'control' (all keys must be strings) of %s", method);
      return -1;
    }
    PyRef lower(to_lowercase_object(key));
    if (!lower) return -1;
    int id = 0, type = 0, kind = 0;
    bool found = false;
    {
      MutexGuard lock(krv_py_env.mutexes[MUTEX_CTRL_INFO]);
      PyObject *info = PyDict_GetItem(krv_py_env.ctrl_info, lower.get());
      if (info && PyTuple_Check(info) && PyTuple_GET_SIZE(info) == 3) {
        id = int(PyLong_AsLong(PyTuple_GET_ITEM(info, 0)));
        type = int(PyLong_AsLong(PyTuple_GET_ITEM(info, 1)));
        kind = int(PyLong_AsLong(PyTuple_GET_ITEM(info, 2)));
        found = !PyErr_Occurred();
      }
    }
    if (!found) {
      if (!PyErr_Occurred()) PyErr_Format(korvo_interface_error, "Unknown control %S in %s", key, method);
      return -1;
    }
    if (type != INFO_INT && type != INFO_DOUBLE) {
      PyErr_Format(korvo_interface_error, "Only integer and double controls allowed in %s", method);
      return -1;
    }
    // A job is a solve of the nonlinear solver: optimizer controls would
    // have no effect on it.
    if (kind == LIBKIND_OPTIMIZER) {
      PyErr_Format(korvo_interface_error, "Only controls of the nonlinear solver allowed in %s: %S", method, key);
      return -1;
    }
    if (type == INFO_INT) {
      if (!is_int_like(value)) {
        PyErr_Format(korvo_interface_error, "Control %S in %s needs an integer value", key, method);
        return -1;
      }
      long v = PyLong_AsLong(value);
      if (v == -1 && PyErr_Occurred()) return -1;
      out.int_ids.push_back(id);
      out.int_values.push_back(int(v));
    } else {
      double v = PyFloat_AsDouble(value);
      if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(korvo_interface_error, "Control %S in %s needs a number", key, method);
        return -1;
      }
      out.dbl_ids.push_back(id);
      out.dbl_values.push_back(v);
    }
  }
  return 0;
}

// Keeps the job object alive with the problem; the engine holds it as a
// plain pointer. A refused call leaves the list with one extra reference at
// most, which the problem's end drops.
void *keep_job_object(problem_s *p, PyObject *obj) {
  if (!obj || obj == Py_None) return nullptr;
  if (!p->ms_job_objects && !(p->ms_job_objects = PyList_New(0))) return nullptr;
  if (PyList_Append(p->ms_job_objects, obj) < 0) return nullptr;
  return obj;
}

// msaddjob(description, ivcols, ivvalues, control, job_object)
int msaddjob_call(wrap_call &c) {
  job_controls ctl;
  if (read_controls(c.objects[3], "msaddjob", ctl) < 0) return -1;
  void *object = keep_job_object(c.p, c.objects[4]);
  if (PyErr_Occurred()) return -1;
  int n = c.slots[0] < 0 ? 0 : int(c.slots[0]);
  if ((c.arrays[1] == nullptr) != (c.arrays[2] == nullptr)) {
    PyErr_SetString(korvo_interface_error, "Incorrect arguments in msaddjob");
    return -1;
  }
  return KNLSmsaddjob(c.p->nlprob, c.strs[0], n, c.array<int>(1), c.array<double>(2), int(ctl.int_ids.size()),
                      ctl.int_ids.data(), ctl.int_values.data(), int(ctl.dbl_ids.size()), ctl.dbl_ids.data(),
                      ctl.dbl_values.data(), object);
}
const wrapper_def kMsaddjob{
    "msaddjob",
    KORVO_DOC("Adds a multistart job: a solve from other start values and/or with other controls.",
              "p.msaddjob(description, ivcols=None, ivvalues=None, control=None, job_object=None)",
              KORVO_ARGS("description: the job's name;\n  ivcols, ivvalues: columns and their start values;\n  "
                         "control: a dictionary of integer and double controls of the nonlinear solver;\n  "
                         "job_object: any object, handed back in the multistart callbacks."),
              "p.msaddjob('from 3', [x], [3.0], {'knls_penalty': 100.0})",
              "With jobs added, nlpoptimize solves from the plain start and for every job, on worker threads "
              "(control knls_msthreads), and keeps the best locally optimal result; attributes knls_msjobs and "
              "knls_mswinner report on it. msclear drops the jobs."),
    5,
    {{"description", "description", WR_STRING, CONV_STRING, -1, false},
     {"ivcols", "ivcols", WR_ARRAY, CONV_COL, 0, true},
     {"ivvalues", "ivvalues", WR_ARRAY, CONV_DOUBLE, 0, true},
     {"control", "control", WR_OBJECT, CONV_INT, -1, true},
     {"job_object", "job_object", WR_OBJECT, CONV_INT, -1, true}},
    nullptr,
    msaddjob_call,
    nullptr,
    WRAP_REFUSED_WHILE_SOLVING,
    "Incorrect arguments in msaddjob"};

// msaddpreset(description, preset, maxjobs, data)
int msaddpreset_call(wrap_call &c) {
  void *object = keep_job_object(c.p, c.objects[3]);
  if (PyErr_Occurred()) return -1;
  return KNLSmsaddpreset(c.p->nlprob, c.strs[0], int(c.ints[1]), int(c.ints[2]), object);
}
const wrapper_def kMsaddpreset{
    "msaddpreset",
    KORVO_DOC("Adds multistart jobs of a preset kind.", "p.msaddpreset(description, preset, maxjobs, data=None)",
              KORVO_ARGS("description: the jobs' name;\n  preset: 1 random start values within the bounds (around "
                         "the start where a bound is infinite), 2 variations of the penalty weight and the initial "
                         "step bound, 3 both;\n  maxjobs: the number of jobs;\n  data: any object, handed back in "
                         "the multistart callbacks."),
              "p.msaddpreset('random', 1, 8)", "The random start values are the same from run to run."),
    4,
    {{"description", "description", WR_STRING, CONV_STRING, -1, false},
     {"preset", "preset", WR_INT, CONV_INT, -1, false},
     {"maxjobs", "count", WR_INT, CONV_INT, -1, false},
     {"data", "job_object", WR_OBJECT, CONV_INT, -1, true}},
    nullptr,
    msaddpreset_call,
    nullptr,
    WRAP_REFUSED_WHILE_SOLVING,
    "Incorrect arguments in msaddpreset"};

// msaddcustompreset(description, preset, count, ivcols, ivvalues, control, job_object)
int msaddcustompreset_call(wrap_call &c) {
  job_controls ctl;
  if (read_controls(c.objects[5], "msaddcustompreset", ctl) < 0) return -1;
  void *object = keep_job_object(c.p, c.objects[6]);
  if (PyErr_Occurred()) return -1;
  if ((c.arrays[3] == nullptr) != (c.arrays[4] == nullptr)) {
    PyErr_SetString(korvo_interface_error, "Incorrect arguments in msaddcustompreset");
    return -1;
  }
  int n = c.slots[0] < 0 ? 0 : int(c.slots[0]);
  return KNLSmsaddcustompreset(c.p->nlprob, c.strs[0], int(c.ints[1]), int(c.ints[2]), n, c.array<int>(3),
                               c.array<double>(4), int(ctl.int_ids.size()), ctl.int_ids.data(), ctl.int_values.data(),
                               int(ctl.dbl_ids.size()), ctl.dbl_ids.data(), ctl.dbl_values.data(), object);
}
const wrapper_def kMsaddcustompreset{
    "msaddcustompreset",
    KORVO_DOC("Adds multistart jobs of a preset kind with start values and controls of their own on top.",
              "p.msaddcustompreset(description, preset, count, ivcols=None, ivvalues=None, control=None, "
              "job_object=None)",
              KORVO_ARGS("description, preset, count: as in msaddpreset;\n  ivcols, ivvalues, control, "
                         "job_object: as in msaddjob, applied to every job after the preset."),
              "p.msaddcustompreset('random, tight', 1, 4, control={'knls_feastol': 1e-8})",
              "See msaddjob."),
    7,
    {{"description", "description", WR_STRING, CONV_STRING, -1, false},
     {"preset", "preset", WR_INT, CONV_INT, -1, false},
     {"count", "count", WR_INT, CONV_INT, -1, false},
     {"ivcols", "ivcols", WR_ARRAY, CONV_COL, 0, true},
     {"ivvalues", "ivvalues", WR_ARRAY, CONV_DOUBLE, 0, true},
     {"control", "control", WR_OBJECT, CONV_INT, -1, true},
     {"job_object", "job_object", WR_OBJECT, CONV_INT, -1, true}},
    nullptr,
    msaddcustompreset_call,
    nullptr,
    WRAP_REFUSED_WHILE_SOLVING,
    "Incorrect arguments in msaddcustompreset"};

int msclear_call(wrap_call &c) {
  int rc = KNLSmsclear(c.p->nlprob);
  if (rc == 0) Py_CLEAR(c.p->ms_job_objects);
  return rc;
}
const wrapper_def kMsclear{"msclear",
                           KORVO_DOC("Drops every multistart job.", "p.msclear()", KORVO_NO_ARGS, "p.msclear()",
                                     "nlpoptimize then solves from the plain start only."),
                           0,
                           {},
                           nullptr,
                           msclear_call,
                           nullptr};

PyMethodDef nlp_multistart_methods[] = {KORVO_WRAPPER_METHOD(kMsaddjob), KORVO_WRAPPER_METHOD(kMsaddpreset),
                                        KORVO_WRAPPER_METHOD(kMsaddcustompreset), KORVO_WRAPPER_METHOD(kMsclear),
                                        {nullptr, nullptr, 0, nullptr}};

}  // namespace

KORVO_REGISTER_PROBLEM_METHODS(nlp_multistart_methods);
