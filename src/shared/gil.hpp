// Guards for the interpreter lock, shared by both extension modules.
//
// gil_released: the calling thread holds the interpreter lock; it is
// released for the life of the object and taken back at the end of the
// scope.  Nothing of the interpreter may be touched inside.
//
// gil_held: taken by a thread that may or may not hold the interpreter lock
// (a bus callback); held for the life of the object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vq {

class gil_released {
public:
    gil_released() noexcept : state_(PyEval_SaveThread()) {}
    ~gil_released() { PyEval_RestoreThread(state_); }
    gil_released(const gil_released &) = delete;
    gil_released &operator=(const gil_released &) = delete;

private:
    PyThreadState *state_;
};

class gil_held {
public:
    gil_held() noexcept : state_(PyGILState_Ensure()) {}
    ~gil_held() { PyGILState_Release(state_); }
    gil_held(const gil_held &) = delete;
    gil_held &operator=(const gil_held &) = delete;

private:
    PyGILState_STATE state_;
};

}  // namespace vq
