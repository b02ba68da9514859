// Placeholder until the type is filled in.
#include "python_model/korvo_module.h"

PyTypeObject korvo_quadtermType = {
    PyVarObject_HEAD_INIT(NULL, 0) "korvo.quadterm", /* tp_name */
    sizeof(PyObject),                         /* tp_basicsize */
};
