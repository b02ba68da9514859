// State shared by every part of the module: the global record, the type
// objects and the exceptions.
#ifndef KORVO_MODULE_H
#define KORVO_MODULE_H

#include <Python.h>
#include <pthread.h>

#include <cstdint>

#include "maps/maps.h"

struct _PyArray_Descr;

enum krv_mutex_index {
  MUTEX_VAR_ID = 0,
  MUTEX_CON_ID = 1,
  MUTEX_SOS_ID = 2,
  MUTEX_CTRL_INFO = 3,
  MUTEX_DEFAULT_CONTROLS = 4,
  MUTEX_MSG_HANDLERS = 5,
  MUTEX_LIB_USE = 6,
  MUTEX_OUTPUT = 7,
  KRV_NUM_MUTEXES = 8
};

struct krv_py_env_s {
  int64_t next_var_id;
  int64_t next_con_id;
  int64_t next_sos_id;
  PyObject *controls;          // module-level korvo.controls
  PyObject *ctrl_info;         // lower-case name -> (id, type, kind)
  PyObject *attr_info;         // lower-case name -> (id, type, kind)
  PyObject *default_controls;  // lower-case name -> value for new problems
  PyObject *msg_handlers;      // list of [callable, data]
  int32_t lib_use_count;
  uint32_t output_enabled;
  boundmap *con_lb_map;
  boundmap *con_ub_map;
  boundmap *var_lb_map;
  boundmap *var_ub_map;
  boundmap *var_threshold_map;
  namemap *con_name_map;
  namemap *var_name_map;
  struct _PyArray_Descr *npvar;
  struct _PyArray_Descr *npexpr;
  struct _PyArray_Descr *npconstraint;
  pthread_mutex_t mutexes[KRV_NUM_MUTEXES];
};

extern krv_py_env_s krv_py_env;

// Type objects, one file pair each.
extern PyTypeObject korvo_varType;
extern PyTypeObject korvo_sosType;
extern PyTypeObject korvo_expressionType;
extern PyTypeObject korvo_constraintType;
extern PyTypeObject korvo_ctrlType;
extern PyTypeObject korvo_attrType;
extern PyTypeObject korvo_problemType;
extern PyTypeObject korvo_branchobjType;
extern PyTypeObject korvo_poolcutType;
extern PyTypeObject korvo_krvsobjectType;
extern PyTypeObject korvo_voidstarType;
extern PyTypeObject korvo_lintermType;
extern PyTypeObject korvo_quadtermType;
extern PyTypeObject korvo_nonlinType;

// Exceptions.
extern PyObject *korvo_model_error;
extern PyObject *korvo_interface_error;
// Subclass of both InterfaceError and AttributeError, for unknown control and attribute names.
extern PyObject *korvo_unknown_name_error;
extern PyObject *korvo_solver_error;

// Library start and stop (use-counted); 0 or -1 with an exception set.
int turnKRVSon(int force);
int turnKRVSoff(int force);

// Names reach the engine, and so every file written from it, with at most
// this many characters: longer names of variables, constraints and sets are
// cut there (the Python objects keep theirs whole), and korvo.vars makes
// names no longer than this.
constexpr Py_ssize_t KORVO_MAX_NAME_LENGTH = 255;

#endif
