#ifndef VORN_BINDING_PY_REF_H_
#define VORN_BINDING_PY_REF_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vorn::py {

// An owned (strong) reference to a Python object; releases it on destruction.
// Must be destroyed with the interpreter lock held.
class Ref {
 public:
  Ref() = default;
  // Takes ownership of a new reference (may be null).
  static Ref steal(PyObject* o) { return Ref(o); }
  // Adds a reference to a borrowed one.
  static Ref borrow(PyObject* o) {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(Ref&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(o_);
      o_ = std::exchange(other.o_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(o_); }

  PyObject* get() const { return o_; }
  PyObject* release() { return std::exchange(o_, nullptr); }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  explicit Ref(PyObject* o) : o_(o) {}
  PyObject* o_ = nullptr;
};

// Releases the interpreter lock for its lifetime (Py_BEGIN_ALLOW_THREADS as an object).
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// Takes the interpreter lock for its lifetime, from any thread, including threads the
// interpreter did not create.
class GilAcquire {
 public:
  GilAcquire() : state_(PyGILState_Ensure()) {}
  ~GilAcquire() { PyGILState_Release(state_); }
  GilAcquire(const GilAcquire&) = delete;
  GilAcquire& operator=(const GilAcquire&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace vorn::py

#endif  // VORN_BINDING_PY_REF_H_
