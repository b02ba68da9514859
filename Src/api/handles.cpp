// Placeholder until the type is filled in.
#include "python_model/korvo_module.h"

PyTypeObject korvo_branchobjType = {
    PyVarObject_HEAD_INIT(NULL, 0) "korvo.branchobj", /* tp_name */
    sizeof(PyObject),                         /* tp_basicsize */
};

PyTypeObject korvo_poolcutType = {
    PyVarObject_HEAD_INIT(NULL, 0) "korvo.poolcut", /* tp_name */
    sizeof(PyObject),                         /* tp_basicsize */
};

PyTypeObject korvo_krvsobjectType = {
    PyVarObject_HEAD_INIT(NULL, 0) "korvo.krvsobject", /* tp_name */
    sizeof(PyObject),                         /* tp_basicsize */
};

PyTypeObject korvo_voidstarType = {
    PyVarObject_HEAD_INIT(NULL, 0) "korvo.voidstar", /* tp_name */
    sizeof(PyObject),                         /* tp_basicsize */
};
