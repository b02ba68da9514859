// Placeholder until the type is filled in.
#include "python_model/korvo_module.h"

PyTypeObject korvo_problemType = {
    PyVarObject_HEAD_INIT(NULL, 0) "korvo.problem", /* tp_name */
    sizeof(PyObject),                         /* tp_basicsize */
};
