// Placeholder until the type is filled in.
#include "python_model/korvo_module.h"

PyTypeObject korvo_nonlinType = {
    PyVarObject_HEAD_INIT(NULL, 0) "korvo.nonlinear", /* tp_name */
    sizeof(PyObject),                         /* tp_basicsize */
};
