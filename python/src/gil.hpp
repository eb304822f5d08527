#pragma once
// How the core runs beside other Python threads.
//
// Long work (file reads and parses, JSON loads and saves, exports) runs without the GIL, so
// the host's other threads keep running. Log records the core writes meanwhile cannot reach
// Python logging at once; they wait, in order, in the thread's own list and are handed to
// Python when the thread holds the GIL again: when the call returns, or before the core calls
// back into Python (device checks, web callbacks, the database component). Records written
// while the GIL is held go straight through.
//
// Each manager object carries a CallLock (guarded.hpp), so two threads calling one manager
// wait for each other instead of racing. No lock of ours is ever waited for while holding the GIL,
// and the log path takes none at all, so Python code (handlers, callbacks) never runs into a thread
// that holds one of our locks and wants the GIL.

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

#include "arvcore/vlndev/logger.hpp"

namespace arvcore::python {

namespace py = pybind11;

/// One log record kept until the GIL can be taken.
struct PendingRecord {
  std::string name;
  log::Level level;
  std::string message;
  std::string exc_text;
};

/// The records of the calling thread while it runs without the GIL; null while it holds it.
using PendingRecords = std::vector<PendingRecord>;
PendingRecords*& pending_records();

/// Hands one record to arvcore._logbridge._emit (which builds a genuine logging record).
/// Needs the GIL; a failing handler is reported as unraisable, never thrown.
void emit_record(std::string_view name, log::Level level, std::string_view message,
                 std::string_view exc_text);

/// Installs the core's log sink that forwards to Python logging.
void install_log_sink();

/// Runs the enclosed core work without the GIL; on leaving, takes it back and hands the
/// records written meanwhile to Python.
class WithoutGil {
 public:
  WithoutGil();
  ~WithoutGil();
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PendingRecords records_;
  PendingRecords* outer_;
  PyThreadState* state_;
};

/// Holds the GIL for a call into Python made by the core, whether or not the calling thread
/// had let it go; first hands the thread's waiting records to Python, so they keep their
/// order with whatever the callback logs.
class InPython {
 public:
  InPython();
  ~InPython();
  InPython(const InPython&) = delete;
  InPython& operator=(const InPython&) = delete;

 private:
  PendingRecords* records_;
  PyGILState_STATE gil_;
};

/// A Python object that core code may copy and drop without the GIL (callbacks live in
/// std::function objects the core copies freely); the last owner releases it under the GIL.
class SharedObject {
 public:
  SharedObject() = default;
  explicit SharedObject(py::object o);
  /// The object; use only while holding the GIL.
  const py::object& get() const { return *obj_; }

 private:
  std::shared_ptr<py::object> obj_;
};

/// The lock of one manager object. A thread that already holds it may take it again (a log
/// handler or a device callback may call the same manager), and a thread that must wait
/// waits without the GIL.
class CallLock {
 public:
  /// Takes the lock; the caller holds the GIL.
  void lock_holding_gil();
  /// Takes the lock; the caller has released the GIL.
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

}  // namespace arvcore::python
