#include "gil.hpp"

#include <cstdio>
#include <iterator>

namespace arvcore::python {
namespace {

PyObject* g_emit = nullptr;  // arvcore._logbridge._emit, kept for the life of the process

bool interpreter_usable() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsInitialized() && !Py_IsFinalizing();
#else
  return Py_IsInitialized() && !_Py_IsFinalizing();
#endif
}

// Log text is never refused: undecodable bytes become U+FFFD.
PyObject* decode_lossy(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// Records written while the interpreter shuts down go where an unconfigured host would put
// them.
void write_to_stderr(log::Level level, std::string_view message) {
  if (level >= log::Level::warning) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
  }
}

void flush(PendingRecords& records) {
  for (const PendingRecord& r : records) {
    emit_record(r.name, r.level, r.message, r.exc_text);
  }
  records.clear();
}

}  // namespace

PendingRecords*& pending_records() {
  static thread_local PendingRecords* records = nullptr;
  return records;
}

void emit_record(std::string_view name, log::Level level, std::string_view message,
                 std::string_view exc_text) {
  if (g_emit == nullptr || !interpreter_usable()) {
    write_to_stderr(level, message);
    return;
  }
  // A Python error already set (a call on its way out with a failure) must survive the
  // handlers.
  PyObject* err_type = nullptr;
  PyObject* err_value = nullptr;
  PyObject* err_trace = nullptr;
  PyErr_Fetch(&err_type, &err_value, &err_trace);
  PyObject* result = nullptr;
  PyObject* py_name = decode_lossy(name);
  PyObject* py_message = decode_lossy(message);
  PyObject* py_exc = decode_lossy(exc_text);
  if (py_name != nullptr && py_message != nullptr && py_exc != nullptr) {
    result =
        PyObject_CallFunction(g_emit, "OiOO", py_name, static_cast<int>(level), py_message, py_exc);
  }
  Py_XDECREF(py_name);
  Py_XDECREF(py_message);
  Py_XDECREF(py_exc);
  if (result == nullptr) {
    // A failing handler must not break the operation that logged.
    PyErr_WriteUnraisable(g_emit);
  } else {
    Py_DECREF(result);
  }
  PyErr_Restore(err_type, err_value, err_trace);
}

void install_log_sink() {
  py::object emit_fn = py::module_::import("arvcore._logbridge").attr("_emit");
  g_emit = emit_fn.release().ptr();
  log::set_sink([](std::string_view name, log::Level level, std::string_view message,
                   std::string_view exc_text) {
    if (PendingRecords* pending = pending_records()) {
      pending->push_back({std::string(name), level, std::string(message), std::string(exc_text)});
      return;
    }
    if (!interpreter_usable()) {
      write_to_stderr(level, message);
      return;
    }
    const PyGILState_STATE gil = PyGILState_Ensure();
    emit_record(name, level, message, exc_text);
    PyGILState_Release(gil);
  });
}

namespace {

// The calling thread's innermost hold on a manager's lock.
thread_local ManagerHold* t_innermost_hold = nullptr;

}  // namespace

WithoutGil::WithoutGil() : outer_(pending_records()) {
  pending_records() = &records_;
  state_ = PyEval_SaveThread();
}

WithoutGil::~WithoutGil() {
  PyEval_RestoreThread(state_);
  pending_records() = outer_;
  if (outer_ != nullptr) {
    // Inside a manager hold: the records wait until its lock is let go.
    outer_->insert(outer_->end(), std::make_move_iterator(records_.begin()),
                   std::make_move_iterator(records_.end()));
    return;
  }
  flush(records_);
}

InPython::InPython()
    : parked_(ManagerHold::parkable()), records_(pending_records()), gil_(PyGILState_Ensure()) {
  if (parked_ != nullptr) {
    parked_->park();
  }
  pending_records() = nullptr;
  if (records_ != nullptr) {
    flush(*records_);
  }
}

InPython::~InPython() {
  pending_records() = records_;
  const bool held_before = gil_ == PyGILState_LOCKED;
  PyGILState_Release(gil_);
  if (parked_ != nullptr) {
    parked_->retake(held_before);
  }
}

ManagerHold::ManagerHold(CallLock& lock, Options options)
    : lock_(lock), options_(options), outer_(t_innermost_hold) {
  if (options_.holding_gil) {
    lock_.lock_holding_gil();
  } else {
    lock_.lock();
  }
  t_innermost_hold = this;
  if (pending_records() == nullptr) {
    pending_records() = &records_;
    own_records_ = true;
  }
}

ManagerHold::~ManagerHold() {
  unlock();
  t_innermost_hold = outer_;
  if (own_records_) {
    pending_records() = nullptr;
    flush(records_);
  }
}

void ManagerHold::unlock() {
  if (locked_) {
    lock_.unlock();
    locked_ = false;
  }
}

ManagerHold* ManagerHold::parkable() {
  ManagerHold* const hold = t_innermost_hold;
  if (hold == nullptr || !hold->options_.let_go || !hold->locked_) {
    return nullptr;
  }
  // A lock this thread also holds further out stays held: the outer call did not agree to it.
  for (const ManagerHold* outer = hold->outer_; outer != nullptr; outer = outer->outer_) {
    if (&outer->lock_ == &hold->lock_ && outer->locked_) {
      return nullptr;
    }
  }
  return hold;
}

void ManagerHold::park() {
  parked_at_ = lock_.times_taken();
  unlock();
}

void ManagerHold::retake(bool holding_gil) {
  if (holding_gil) {
    lock_.lock_holding_gil();
  } else {
    lock_.lock();
  }
  locked_ = true;
  // Taken by no one else in between: nothing can have changed.
  if (options_.retaken != nullptr && lock_.times_taken() != parked_at_ + 1) {
    options_.retaken(options_.owner);
  }
}

SharedObject::SharedObject(py::object o)
    : obj_(new py::object(std::move(o)), [](py::object* p) {
        if (!interpreter_usable()) {
          // Too late to drop a reference: the object goes with the interpreter.
          (void)p->release();
          delete p;
          return;
        }
        const PyGILState_STATE gil = PyGILState_Ensure();
        delete p;
        PyGILState_Release(gil);
      }) {}

void CallLock::lock_holding_gil() {
  if (mutex_.try_lock()) {
    ++times_taken_;
    return;
  }
  // Another thread is inside this manager and may need the GIL before it can leave.
  PyThreadState* state = PyEval_SaveThread();
  lock();
  PyEval_RestoreThread(state);
}

}  // namespace arvcore::python
