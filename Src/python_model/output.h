// Routing of engine messages to Python's standard output.
#ifndef KORVO_OUTPUT_H
#define KORVO_OUTPUT_H

#include "knls.h"
#include "krvs.h"

// Global handler: prints messages of every sender except problems (which
// print through their own routine).
int krv_py_print(KRVSobject sender, void *user_data, void *opaque, const char *msg, int msglen, int msgtype);
// A problem's message callback (registered at problem construction).
void krv_py_print_prob(KRVSprob prob, void *user_data, const char *msg, int msglen, int msgtype);
// The nonlinear solver's message callback.
void krv_py_print_probNL(KNLSprob prob, void *user_data, const char *msg, int msglen, int msgtype);

#endif
