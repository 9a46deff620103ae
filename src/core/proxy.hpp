// ProxyMethod: one method of a remote object, prepared once (target names
// checked, input signature counted, output count known) so that each call
// only converts its values, sends and shapes the reply.  The package's
// proxies (varquin.proxy) hand these out as the methods of an interface.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vq::core {

// Readies the ProxyMethod type; 0, or -1 with an exception set.
int proxy_method_type_ready(PyObject *module) noexcept;

}  // namespace vq::core
