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
// wait for each other instead of racing. No Python code runs while a manager's lock is held:
// records written under it wait in the thread's list too and reach Python after the lock is let
// go; a call whose callbacks may run beside other callers (ManagerHold's `let_go`) lets the lock
// go while each callback runs and takes it back after. Any other callback runs with the lock
// held, so Python code there must not wait for another thread that calls the same manager.
// No lock of ours is ever waited for while holding the GIL, and the log path takes none at all.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

#include "arvcore/sdk/log_format.hpp"

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

class ManagerHold;

/// Holds the GIL for a call into Python made by the core, whether or not the calling thread
/// had let it go; first lets go of the manager lock the thread holds when its call allows
/// that (taken back on leaving), then hands the thread's waiting records to Python, so they
/// keep their order with whatever the callback logs.
class InPython {
 public:
  InPython();
  ~InPython();
  InPython(const InPython&) = delete;
  InPython& operator=(const InPython&) = delete;

 private:
  ManagerHold* parked_;
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

/// The lock of one manager object. A thread that already holds it may take it again (a device
/// callback may call the same manager), and a thread that must wait waits without the GIL.
class CallLock {
 public:
  /// Takes the lock; the caller holds the GIL.
  void lock_holding_gil();
  /// Takes the lock; the caller has released the GIL.
  void lock() {
    mutex_.lock();
    ++times_taken_;
  }
  void unlock() { mutex_.unlock(); }
  /// How often the lock has been taken so far; read while holding it.
  std::uint64_t times_taken() const { return times_taken_; }

 private:
  std::recursive_mutex mutex_;
  std::uint64_t times_taken_ = 0;
};

/// The calling thread's hold on a manager's lock for one call. While the thread holds any,
/// the log records it writes wait in its list and reach Python once the outermost hold has
/// let go of its lock. With `let_go`, the call's callbacks run with the lock let go (see
/// InPython), and `retaken(owner)` runs each time it is taken back after another caller took it
/// meanwhile, for the manager to outdate what that caller may have derived from it.
class ManagerHold {
 public:
  struct Options {
    bool holding_gil = true;
    bool let_go = false;
    void (*retaken)(void*) = nullptr;
    void* owner = nullptr;
  };
  ManagerHold(CallLock& lock, Options options);
  ~ManagerHold();
  ManagerHold(const ManagerHold&) = delete;
  ManagerHold& operator=(const ManagerHold&) = delete;

  /// Lets go of the lock before the hold ends (idempotent).
  void unlock();

 private:
  friend class InPython;
  /// The thread's innermost hold when a callback may run with its lock let go, else null.
  static ManagerHold* parkable();
  void park();
  void retake(bool holding_gil);

  CallLock& lock_;
  Options options_;
  bool locked_ = true;
  std::uint64_t parked_at_ = 0;  // the lock's times_taken() when it was let go for a callback
  ManagerHold* outer_;
  PendingRecords records_;
  bool own_records_ = false;
};

}  // namespace arvcore::python
