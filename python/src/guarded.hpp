#pragma once
// A manager as Python holds it: the core object, the lock that serialises its callers, and
// the Python answers of its getters, kept until the manager changes.
//
// Getters of the replaced module answer the objects they store, so they cost one method call
// and one envelope. Converting a table part to Python on every call costs far more, so a
// getter's converted answer is kept and answered again (in a fresh envelope) for as long as
// what it was made from stands. The manager says how long that is: it counts its changes
// (tableGeneration(), and finer counts where it has them), and an answer is kept with the
// count it was made at. Calls are sorted by kind when they are bound:
//   reading  - runs under the lock with the GIL held;
//   locked   - the same, for calls that may change the manager;
//   released - long work, run under the lock without the GIL.
// A kept answer is only used while the manager's logger writes nothing below warning: a
// getter that logs at debug or info on success then runs again, so hosts that log see every
// record. Failures are never kept.
//
// Kept answers are only read and written with the GIL held, so a getter's fast lane
// (fastlane.hpp) may read them without taking the lock; the manager's counts may be read by
// any thread. A fast reader that still sees the old count answers what the manager held
// before the change, as a caller that came a moment earlier would have got.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

#include "arvcore/sdk/log_format.hpp"
#include "casters.hpp"
#include "gil.hpp"
#include "pybind_internals.hpp"

namespace arvcore::python {

/// A getter's answer as Python objects, and the count of changes of the part of the manager
/// it was made from, as it stood when the answer was made.
struct KeptAnswer {
  std::uint64_t generation = 0;
  py::object code;
  py::object msg;
  py::object data;
};

/// Kept answers by key; looked up by string_view too, so a lookup builds no string.
struct KeptKeyHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
};
using KeptAnswers = std::unordered_map<std::string, KeptAnswer, KeptKeyHash, std::equal_to<>>;

/// A manager's table answered to Python without a copy: it stands for the manager's own table
/// until the manager next changes, and is copied aside just before that change when the
/// caller has not read it yet.
struct TableSnapshot {
  std::optional<Value> copy;
  bool read = false;
};

/// Whether a call's callbacks run with the manager's lock held or let go. `let_go` is for calls
/// that hold nothing of the manager across a callback (what the callback gets is a copy, and
/// what follows reads the manager afresh), so other callers may run in between.
enum class AtCallbacks { hold, let_go };

template <class Manager>
class Guarded : public Manager {
 public:
  using Manager::Manager;
  explicit Guarded(Manager&& m) : Manager(std::move(m)) {}

  /// Runs `work` under the lock with the GIL held; `work` changes nothing a getter answers.
  template <class Work>
  decltype(auto) reading(Work&& work, AtCallbacks at_callbacks = AtCallbacks::hold) {
    ManagerHold hold(call_lock_, hold_options(true, at_callbacks));
    return std::forward<Work>(work)();
  }

  /// Runs `work`, which may change the manager, under the lock with the GIL held.
  template <class Work>
  decltype(auto) locked(Work&& work, AtCallbacks at_callbacks = AtCallbacks::hold) {
    ManagerHold hold(call_lock_, hold_options(true, at_callbacks));
    before_change();
    return std::forward<Work>(work)();
  }

  /// Runs `work`, which may change the manager, under the lock without the GIL. The answer
  /// must not refer into the manager: it is read after the lock is let go.
  template <class Work>
  auto released(Work&& work, AtCallbacks at_callbacks = AtCallbacks::hold) {
    static_assert(!std::is_reference_v<decltype(work())>);
    WithoutGil nogil;
    ManagerHold hold(call_lock_, hold_options(false, at_callbacks));
    before_change();
    return std::forward<Work>(work)();
  }

  /// Like released(work), but first runs `prepare` under the same lock with the GIL held:
  /// there the caller lets go of the kept answers that `work` outdates, before the new ones
  /// are made.
  template <class Prepare, class Work>
  auto released_after(Prepare&& prepare, Work&& work,
                      AtCallbacks at_callbacks = AtCallbacks::hold) {
    static_assert(!std::is_reference_v<decltype(work())>);
    ManagerHold hold(call_lock_, hold_options(true, at_callbacks));
    std::forward<Prepare>(prepare)();
    WithoutGil nogil;
    before_change();
    auto result = std::forward<Work>(work)();
    // Let go before the GIL is taken back.
    hold.unlock();
    return result;
  }

  /// A snapshot standing for the manager's table as it is now (see TableSnapshot). Under the
  /// lock; the GIL is not needed.
  std::shared_ptr<TableSnapshot> share_table() {
    auto snapshot = std::make_shared<TableSnapshot>();
    shared_tables_.push_back(snapshot);
    return snapshot;
  }

  /// The answer kept under `key`, or else that of `work` (a RetType), kept when it succeeded
  /// and `keep` allows. Runs under the lock with the GIL held.
  template <class Work>
  py::object kept(const std::string& key, const log::Logger& logger, bool keep, Work&& work,
                  AtCallbacks at_callbacks = AtCallbacks::hold) {
    ManagerHold hold(call_lock_, hold_options(true, at_callbacks));
    keep = keep && !logger.enabled(log::Level::info);
    if (keep) {
      if (const KeptAnswer* answer = fresh(key)) {
        return make_envelope(answer->code, answer->msg, answer->data);
      }
    }
    const std::uint64_t generation = this->generation();
    const RetType ret = std::forward<Work>(work)();
    KeptAnswer answer{generation, py_enum_member(ret.RetCode), message_of(ret.RetMsg),
                      to_python(ret.RetData)};
    py::object out = make_envelope(answer.code, answer.msg, answer.data);
    if (keep && ret.ok()) {
      kept_[key] = std::move(answer);
    }
    return out;
  }

  /// Like kept(), for an answer that is not an envelope: `work` answers the Python object and
  /// whether it may be kept (a failure may not).
  template <class Work>
  py::object kept_data(const std::string& key, bool keep, Work&& work,
                       AtCallbacks at_callbacks = AtCallbacks::hold) {
    ManagerHold hold(call_lock_, hold_options(true, at_callbacks));
    if (keep) {
      if (const KeptAnswer* answer = fresh(key)) {
        return answer->data;
      }
    }
    const std::uint64_t generation = this->generation();
    auto [data, keepable] = std::forward<Work>(work)();
    if (keep && keepable) {
      kept_[key] = KeptAnswer{generation, {}, {}, data};
    }
    return data;
  }

  /// Kept Python objects of any kind, for answers that are not envelopes. Use with the GIL.
  KeptAnswers& kept_answers() { return kept_; }

  /// The cached-getter lane: the object kept under `key` when it was made at `generation`,
  /// else that of `make`, kept with it. A part of the manager that counts its own changes
  /// passes its counter, so that an answer lives exactly as long as what it was made from.
  /// Under the lock with the GIL.
  template <class Make>
  py::object cached(std::string_view key, std::uint64_t generation, Make&& make) {
    if (const py::object* kept = cached_at(key, generation)) {
      return *kept;
    }
    py::object made = std::forward<Make>(make)();
    // Looked up again: making the object may have kept others.
    auto it = kept_.find(key);
    if (it == kept_.end()) {
      it = kept_.emplace(std::string(key), KeptAnswer{}).first;
    }
    it->second = KeptAnswer{generation, {}, {}, made};
    return made;
  }

  /// The object kept under `key` when it was made at `generation`, else null. Needs the GIL,
  /// not the lock.
  const py::object* cached_at(std::string_view key, std::uint64_t generation) const {
    const KeptAnswer* kept = kept_made_at(key, generation);
    return kept == nullptr ? nullptr : &kept->data;
  }

  /// Whatever is kept under `key`, of any generation, else null. Needs the GIL.
  const KeptAnswer* kept_at(std::string_view key) const {
    const auto it = kept_.find(key);
    return it == kept_.end() ? nullptr : &it->second;
  }

  /// Hands over every kept answer, for a call about to replace the whole manager: what was
  /// kept can then be let go before the new answers are made, not beside them. Under the lock
  /// with the GIL; the caller drops the answers after letting go of the lock, since dropping
  /// them may run Python code.
  KeptAnswers forget_kept() { return std::exchange(kept_, {}); }

  /// The manager's count of changes that outdate every answer. Any thread may read it.
  std::uint64_t generation() const { return this->tableGeneration(); }

  /// The answer kept under `key` when it still stands for the manager, else null. Needs the
  /// GIL, not the lock.
  const KeptAnswer* fresh(std::string_view key) const { return kept_made_at(key, generation()); }

  /// A new envelope of the answer kept under `key` when it still stands, else null (no
  /// error set). Needs the GIL, not the lock.
  PyObject* fresh_envelope(std::string_view key) const {
    const KeptAnswer* answer = fresh(key);
    return answer == nullptr
               ? nullptr
               : make_envelope(answer->code, answer->msg, answer->data).release().ptr();
  }

 private:
  // What is kept under `key` when it was made at `generation`, else null (one lookup: the
  // fast lanes answer in about a hundred nanoseconds).
  const KeptAnswer* kept_made_at(std::string_view key, std::uint64_t generation) const {
    const KeptAnswer* kept = kept_at(key);
    return kept != nullptr && kept->data && kept->generation == generation ? kept : nullptr;
  }

  ManagerHold::Options hold_options(bool holding_gil, AtCallbacks at_callbacks) {
    return {holding_gil, at_callbacks == AtCallbacks::let_go, &retaken, this};
  }

  // Other callers may have used the manager while a callback ran: what they shared stood for
  // the table in the middle of this call. (What they kept is outdated by the manager's own
  // counts, which this call's changes move on.)
  static void retaken(void* self) { static_cast<Guarded*>(self)->before_change(); }

  // Answers that still stand for the table get their copy before it changes.
  void before_change() {
    if constexpr (requires(const Manager& m) { m.BeamTable(); }) {
      for (const auto& weak : shared_tables_) {
        if (const auto snapshot = weak.lock(); snapshot && !snapshot->read) {
          snapshot->copy = this->BeamTable();
        }
      }
      shared_tables_.clear();
    }
  }

  CallLock call_lock_;
  std::vector<std::weak_ptr<TableSnapshot>> shared_tables_;
  KeptAnswers kept_;
};

enum class CallKind { reading, locked, released };

namespace detail {

template <auto Method, CallKind Kind, class R, class Self, class... A>
auto invoke(Self& self, A&&... args) {
  auto call = [&]() -> R { return (self.*Method)(std::forward<A>(args)...); };
  if constexpr (Kind == CallKind::released) {
    return self.released(call);
  } else if constexpr (std::is_reference_v<R>) {
    // A reference into the manager is turned into Python objects before the lock goes.
    auto convert = [&] { return py::cast(call(), py::return_value_policy::copy); };
    if constexpr (Kind == CallKind::reading) {
      return self.reading(convert);
    } else {
      return self.locked(convert);
    }
  } else if constexpr (Kind == CallKind::reading) {
    return self.reading(call);
  } else {
    return self.locked(call);
  }
}

template <auto Method, CallKind Kind, class Sig = decltype(Method)>
struct Bound;

template <auto Method, CallKind Kind, class R, class C, class... A>
struct Bound<Method, Kind, R (C::*)(A...)> {
  static auto call(Guarded<C>& self, A... args) {
    return invoke<Method, Kind, R>(self, std::forward<A>(args)...);
  }
};

template <auto Method, CallKind Kind, class R, class C, class... A>
struct Bound<Method, Kind, R (C::*)(A...) const> {
  static auto call(Guarded<C>& self, A... args) {
    return invoke<Method, Kind, R>(self, std::forward<A>(args)...);
  }
};

}  // namespace detail

/// A manager method for pybind11 that changes nothing a getter answers.
template <auto Method>
constexpr auto reading() {
  return &detail::Bound<Method, CallKind::reading>::call;
}

/// A manager method for pybind11 that may change the manager; runs with the GIL held.
template <auto Method>
constexpr auto locked() {
  return &detail::Bound<Method, CallKind::locked>::call;
}

/// A manager method for pybind11 that does long work; runs without the GIL.
template <auto Method>
constexpr auto released() {
  return &detail::Bound<Method, CallKind::released>::call;
}

/// A manager argument (self of every method) is only read from an object whose __init__ ran.
template <class Manager>
inline constexpr bool built_only<Guarded<Manager>> = true;

}  // namespace arvcore::python
