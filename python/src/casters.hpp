#pragma once
// Conversions between the C++ core and the Python host.
//
// - arvcore::Value <-> plain Python data (None, bool, int, float, str, dict, list); tuples and
//   members of enumeration classes are accepted on the way in.
// - arvcore::RetType <-> arvcore.VLNUtils.RetType.
// - Every enumeration with a table (enum_traits.hpp) <-> the member of the Python class built
//   from that table (export_enums.cpp); plain ints are converted by value.
// - Wrappers that turn Python callables into the callback shapes the managers take.
//
// Large tables cross this boundary, so the value conversion talks to the CPython API directly.
// Conversions need the GIL; callbacks take it themselves (the core may call them from work
// that runs without it, see gil.hpp).
// Python objects cached here are deliberately never released: they must outlive static
// destructors that run after the interpreter has gone.

#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "arvcore/base/errors.hpp"
#include "arvcore/sdk/enum_traits.hpp"
#include "arvcore/sdk/enums.hpp"
#include "arvcore/sdk/ret_type.hpp"
#include "arvcore/value/value.hpp"
#include "arvcore/vlndev/callbacks.hpp"
#include "arvcore/vlndev/enums.hpp"
#include "gil.hpp"

namespace arvcore::python {

namespace py = pybind11;

// --- cached Python objects ------------------------------------------------------------------

/// `getattr(import(module), name)`, looked up once and kept for the life of the process.
/// Not a function-local static initialiser: an import may release the GIL, and another thread
/// blocking on the same static guard would then deadlock.
template <const char* Module, const char* Name>
PyObject* cached_attr() {
  static PyObject* cached = nullptr;
  if (cached == nullptr) {
    py::object obj = py::module_::import(Module).attr(Name);
    if (cached == nullptr) {
      cached = obj.release().ptr();
    }
  }
  return cached;
}

namespace names {
inline constexpr char enum_module[] = "enum";
inline constexpr char enum_base[] = "Enum";
inline constexpr char public_module[] = "arvcore.VLNPublic";
inline constexpr char utils_module[] = "arvcore.VLNUtils";
inline constexpr char vlndev_module[] = "arvcore.vlndev.VLNTableManager";
inline constexpr char ret_type[] = "RetType";
}  // namespace names

/// enum.Enum, the base of every Python enumeration class (IntFlag included).
inline PyObject* enum_base_class() {
  return cached_attr<names::enum_module, names::enum_base>();
}

/// arvcore.VLNUtils.RetType.
inline PyObject* ret_type_class() {
  return cached_attr<names::utils_module, names::ret_type>();
}

/// True when `o` is a member of some Python enumeration class.
inline bool is_enum_member(PyObject* o) {
  const int r = PyObject_IsInstance(o, enum_base_class());
  if (r < 0) {
    throw py::error_already_set();
  }
  return r == 1;
}

// --- Value conversion -----------------------------------------------------------------------

namespace detail {

/// Leaves the CPython recursion guard on scope exit.
struct RecursionGuard {
  explicit RecursionGuard(const char* where) {
    if (Py_EnterRecursiveCall(where) != 0) {
      throw py::error_already_set();
    }
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

/// New reference to a str holding `s` (strict UTF-8); throws on invalid text.
inline PyObject* new_str(std::string_view s) {
  PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
  if (o == nullptr) {
    throw py::error_already_set();
  }
  return o;
}

/// UTF-8 text of a str object (subclasses included); throws for text that cannot be encoded
/// (lone surrogates).
inline std::string_view str_view(PyObject* o) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(o, &n);
  if (p == nullptr) {
    throw py::error_already_set();
  }
  return {p, static_cast<std::size_t>(n)};
}

/// Python objects for texts and floats that repeat across tables: map keys ("channel_1",
/// "db", "BOARD_3"), short strings and numbers such as gains. Like the memo of Python's json
/// module, but shared by every conversion of the process, so that each repeated key or number
/// costs one lookup instead of a new object (and a new hash when it enters a dict). Both are
/// immutable, so sharing them cannot be seen except through `is`. Direct-mapped: a slot keeps
/// the last object that hashed to it. Used with the GIL held; the objects are never released.
class SharedAtoms {
 public:
  /// New reference to a str holding `s`.
  PyObject* text(std::string_view s) {
    if (s.size() > kMaxText) {
      return new_str(s);
    }
    const std::uint32_t h = indexed_map_detail::hash32(s);
    TextSlot& slot = texts_[h & (kTextSlots - 1)];
    if (slot.str != nullptr && slot.hash == h &&
        indexed_map_detail::same_key(
            std::string_view(static_cast<const char*>(PyUnicode_DATA(slot.str)),
                             static_cast<std::size_t>(PyUnicode_GET_LENGTH(slot.str))),
            s)) {
      Py_INCREF(slot.str);
      return slot.str;
    }
    PyObject* o = new_str(s);
    // Only ASCII texts are kept: their characters are their UTF-8 bytes, which the lookup
    // compares.
    if (PyUnicode_IS_ASCII(o)) {
      Py_XDECREF(slot.str);
      Py_INCREF(o);
      slot = {o, h};
    }
    return o;
  }

  /// New reference to a float holding `d`.
  PyObject* number(double d) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &d, sizeof bits);
    FloatSlot& slot = floats_[(bits * 0x9E3779B97F4A7C15ULL) >> (64 - kFloatBits)];
    if (slot.obj != nullptr && slot.bits == bits) {
      Py_INCREF(slot.obj);
      return slot.obj;
    }
    PyObject* o = PyFloat_FromDouble(d);
    if (o == nullptr) {
      throw py::error_already_set();
    }
    Py_XDECREF(slot.obj);
    Py_INCREF(o);
    slot = {o, bits};
    return o;
  }

 private:
  static constexpr std::size_t kMaxText = 32;
  static constexpr std::size_t kTextSlots = 4096;
  static constexpr unsigned kFloatBits = 8;

  struct TextSlot {
    PyObject* str = nullptr;
    std::uint32_t hash = 0;
  };
  struct FloatSlot {
    PyObject* obj = nullptr;
    std::uint64_t bits = 0;
  };

  TextSlot texts_[kTextSlots];
  FloatSlot floats_[std::size_t{1} << kFloatBits];
};

/// The process's shared atoms (never destroyed: the objects must outlive the interpreter's
/// own teardown order).
inline SharedAtoms& shared_atoms() {
  static SharedAtoms* const atoms = new SharedAtoms();
  return *atoms;
}

/// Turns off Python's cycle collector while a list or map is converted: the lists and dicts
/// made here form no cycles, and for a large table a collection every few hundred new
/// containers would walk the growing table again and again. Turning it off and on costs
/// two flag writes.
class CollectorPause {
 public:
  explicit CollectorPause(bool container) : paused_(container && PyGC_Disable() != 0) {}
  ~CollectorPause() {
    if (paused_) {
      PyGC_Enable();
    }
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  bool paused_;
};

/// Builds Python data from a value; texts and floats come from the shared atoms.
class ToPython {
 public:
  ToPython() : atoms_(shared_atoms()) {}
  ToPython(const ToPython&) = delete;
  ToPython& operator=(const ToPython&) = delete;

  /// New reference; throws py::error_already_set on failure.
  PyObject* convert(const Value& v) {
    switch (v.type()) {
      case Value::value_t::null:
      case Value::value_t::discarded:
        Py_RETURN_NONE;
      case Value::value_t::boolean:
        return PyBool_FromLong(*v.get_ptr<const Value::boolean_t*>() ? 1 : 0);
      case Value::value_t::number_integer:
        return checked(PyLong_FromLongLong(*v.get_ptr<const Value::number_integer_t*>()));
      case Value::value_t::number_unsigned:
        return checked(PyLong_FromUnsignedLongLong(*v.get_ptr<const Value::number_unsigned_t*>()));
      case Value::value_t::number_float:
        return atoms_.number(*v.get_ptr<const Value::number_float_t*>());
      case Value::value_t::string:
        return atoms_.text(*v.get_ptr<const Value::string_t*>());
      case Value::value_t::binary: {
        const auto& b = *v.get_ptr<const Value::binary_t*>();
        return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                                 static_cast<Py_ssize_t>(b.size())));
      }
      case Value::value_t::array:
        return list(*v.get_ptr<const Value::array_t*>());
      case Value::value_t::object:
        return dict(*v.get_ptr<const Value::object_t*>());
    }
    Py_RETURN_NONE;
  }

 private:
  static PyObject* checked(PyObject* o) {
    if (o == nullptr) {
      throw py::error_already_set();
    }
    return o;
  }

  PyObject* list(const Value::array_t& a) {
    RecursionGuard guard(" while converting a list to Python");
    py::object out =
        py::reinterpret_steal<py::object>(checked(PyList_New(static_cast<Py_ssize_t>(a.size()))));
    for (const Value& item : a) {
      value::prefetch_payload(item);
    }
    Py_ssize_t i = 0;
    for (const Value& item : a) {
      PyList_SET_ITEM(out.ptr(), i++, convert(item));
    }
    return out.release().ptr();
  }

  PyObject* dict(const Value::object_t& m) {
    RecursionGuard guard(" while converting a map to Python");
#if PY_VERSION_HEX < 0x030E0000
    py::object out = py::reinterpret_steal<py::object>(
        checked(_PyDict_NewPresized(static_cast<Py_ssize_t>(m.size()))));
#else
    py::object out = py::reinterpret_steal<py::object>(checked(PyDict_New()));
#endif
    for (const auto& entry : m) {
      value::prefetch_payload(entry.second);
    }
    for (const auto& [k, item] : m) {
      PyObject* const value = convert(item);
      PyObject* key = nullptr;
      try {
        key = atoms_.text(k);
      } catch (...) {
        Py_DECREF(value);
        throw;
      }
      const int failed = PyDict_SetItem(out.ptr(), key, value);
      Py_DECREF(key);
      Py_DECREF(value);
      if (failed != 0) {
        throw py::error_already_set();
      }
    }
    return out.release().ptr();
  }

  SharedAtoms& atoms_;
};

/// New reference; throws py::error_already_set on failure.
inline PyObject* to_py_checked(const Value& v) {
  const CollectorPause pause(v.is_object() || v.is_array());
  ToPython conversion;
  return conversion.convert(v);
}

inline bool from_py(PyObject* o, Value& out);

inline bool int_from_py(PyObject* o, Value& out) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (overflow == 0) {
    if (v == -1 && PyErr_Occurred()) {
      throw py::error_already_set();
    }
    out = static_cast<std::int64_t>(v);
    return true;
  }
  if (overflow > 0) {
    const unsigned long long u = PyLong_AsUnsignedLongLong(o);
    if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      out = static_cast<std::uint64_t>(u);
      return true;
    }
    PyErr_Clear();
  }
  // Beyond 64 bits: not representable, refused like any other unsupported object.
  return false;
}

// Converting an item may run Python code (an enumeration member's `value`), which could change
// the container being read: sizes are read again and items held while they are converted.
inline bool list_from_py(PyObject* seq, Value& out) {
  RecursionGuard guard(" while converting a list to a value");
  out = Value::array();
  auto& arr = *out.get_ptr<Value::array_t*>();
  arr.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq)));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
    const auto item = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(seq, i));
    arr.emplace_back();
    if (!from_py(item.ptr(), arr.back())) {
      return false;
    }
  }
  return true;
}

inline bool dict_entry_from_py(PyObject* key, PyObject* item, Value::object_t& obj) {
  if (!PyUnicode_Check(key)) {
    return false;
  }
  auto it = obj.try_emplace(str_view(key), nullptr).first;
  return from_py(item, it->second);
}

inline bool dict_from_py(PyObject* o, Value& out) {
  RecursionGuard guard(" while converting a dict to a value");
  out = Value::object();
  auto& obj = *out.get_ptr<Value::object_t*>();
  obj.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(o)));
  if (PyDict_CheckExact(o)) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    while (PyDict_Next(o, &pos, &key, &item)) {
      const auto held_key = py::reinterpret_borrow<py::object>(key);
      const auto held_item = py::reinterpret_borrow<py::object>(item);
      if (!dict_entry_from_py(held_key.ptr(), held_item.ptr(), obj)) {
        return false;
      }
    }
    return true;
  }
  // Subclasses (OrderedDict, ...) may keep their own order: go through items().
  py::object items = py::reinterpret_steal<py::object>(PyMapping_Items(o));
  if (!items) {
    throw py::error_already_set();
  }
  const Py_ssize_t n = PyList_GET_SIZE(items.ptr());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GET_ITEM(items.ptr(), i);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
      return false;
    }
    if (!dict_entry_from_py(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1), obj)) {
      return false;
    }
  }
  return true;
}

/// Fills `out` from `o`. False (no Python error set) when `o`, or something inside it, has a
/// type that has no value form; throws py::error_already_set on Python failures (too deep
/// nesting, unencodable text).
inline bool from_py(PyObject* o, Value& out) {
  PyTypeObject* t = Py_TYPE(o);
  if (o == Py_None) {
    out = nullptr;
    return true;
  }
  if (t == &PyBool_Type) {
    out = (o == Py_True);
    return true;
  }
  if (t == &PyLong_Type) {
    return int_from_py(o, out);
  }
  if (t == &PyFloat_Type) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  if (t == &PyUnicode_Type) {
    out = std::string(str_view(o));
    return true;
  }
  if (t == &PyDict_Type) {
    return dict_from_py(o, out);
  }
  if (t == &PyList_Type || t == &PyTuple_Type) {
    return list_from_py(o, out);
  }
  // Slower path: enumeration members stand for their value; subclasses of the basic types
  // (checked after members, since IntFlag members are ints) for their base value.
  if (is_enum_member(o)) {
    RecursionGuard guard(" while converting an enumeration member to a value");
    py::object value = py::reinterpret_steal<py::object>(PyObject_GetAttrString(o, "value"));
    if (!value) {
      throw py::error_already_set();
    }
    return from_py(value.ptr(), out);
  }
  if (PyLong_Check(o)) {
    return int_from_py(o, out);
  }
  if (PyFloat_Check(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  if (PyUnicode_Check(o)) {
    out = std::string(str_view(o));
    return true;
  }
  if (PyDict_Check(o)) {
    return dict_from_py(o, out);
  }
  if (PyList_Check(o) || PyTuple_Check(o)) {
    py::object seq = py::reinterpret_steal<py::object>(PySequence_Fast(o, "not a sequence"));
    if (!seq) {
      throw py::error_already_set();
    }
    return list_from_py(seq.ptr(), out);
  }
  return false;
}

inline std::string type_name_of(py::handle o) {
  return Py_TYPE(o.ptr())->tp_name;
}

}  // namespace detail

/// Plain Python data for a value.
inline py::object to_python(const Value& v) {
  return py::reinterpret_steal<py::object>(detail::to_py_checked(v));
}

/// The value of a Python object; throws arvcore::TypeError naming `what` when the object (or
/// something inside it) has no value form.
inline Value to_value(py::handle o, std::string_view what = "argument") {
  Value out;
  if (!detail::from_py(o.ptr(), out)) {
    throw TypeError(
        fmt::format("{} of type '{}' cannot be converted to a value (or holds an "
                    "item that cannot)",
                    what, detail::type_name_of(o)));
  }
  return out;
}

// --- integer arguments ------------------------------------------------------------------------

/// An int argument within 64 bits; OverflowError naming `what` beyond, as Python's own
/// conversions to a C integer raise.
inline std::int64_t int64_arg(py::handle o, std::string_view what) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
  if (overflow != 0) {
    PyErr_SetString(PyExc_OverflowError,
                    fmt::format("{}: int too large to convert to a 64-bit integer", what).c_str());
    throw py::error_already_set();
  }
  if (v == -1 && PyErr_Occurred()) {
    throw py::error_already_set();
  }
  return v;
}

/// Most items a list argument of integers may have: far beyond any device, and refused
/// before the sequence is read, so that range(10**18) is not materialised.
inline constexpr Py_ssize_t kMaxIntListItems = Py_ssize_t{1} << 20;

/// A list argument of ints: a list, tuple or other sequence (a range). TypeError for an item
/// that is not an int, OverflowError for one beyond 64 bits, ValueError for a sequence longer
/// than kMaxIntListItems; each names `what`.
inline std::vector<std::int64_t> int_list_arg(py::handle o, std::string_view what) {
  if (PyUnicode_Check(o.ptr()) || PyBytes_Check(o.ptr()) || PySequence_Check(o.ptr()) == 0) {
    throw TypeError(
        fmt::format("{} must be a list of int, not '{}'", what, detail::type_name_of(o)));
  }
  const Py_ssize_t n = PySequence_Size(o.ptr());
  if (n < 0) {
    throw py::error_already_set();
  }
  if (n > kMaxIntListItems) {
    throw ValueError(fmt::format("{} holds {} items, more than the {} a list argument may hold",
                                 what, n, kMaxIntListItems));
  }
  std::vector<std::int64_t> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    const auto item = py::reinterpret_steal<py::object>(PySequence_GetItem(o.ptr(), i));
    if (!item) {
      throw py::error_already_set();
    }
    if (!PyLong_Check(item.ptr()) || PyBool_Check(item.ptr())) {
      throw TypeError(
          fmt::format("{} items must be int, not '{}'", what, detail::type_name_of(item)));
    }
    out.push_back(int64_arg(item, what));
  }
  return out;
}

// --- enumerations ---------------------------------------------------------------------------

/// Where the Python class of enumeration E is kept once the module has built it from E's table
/// (export_enums.cpp); never released.
template <NamedEnum E>
PyObject*& py_enum_class_slot() {
  static PyObject* cls = nullptr;
  return cls;
}

template <NamedEnum E>
void set_py_enum_class(const py::object& cls) {
  py_enum_class_slot<E>() = cls.inc_ref().ptr();
}

/// The Python class of enumeration E.
template <NamedEnum E>
PyObject* py_enum_class() {
  PyObject* const cls = py_enum_class_slot<E>();
  if (cls == nullptr) {
    throw Error(fmt::format("the class {} has not been built", EnumTraits<E>::type_name));
  }
  return cls;
}

/// The Python member for a C++ member (a flag combination without a name of its own is built
/// by the class). New reference.
template <NamedEnum E>
py::object py_enum_member(E e) {
  constexpr std::size_t n = EnumTraits<E>::members.size();
  static PyObject* members[n] = {};
  static bool filled = false;
  PyObject* cls = py_enum_class<E>();
  if (!filled) {
    for (std::size_t i = 0; i < n; ++i) {
      if (members[i] == nullptr) {
        py::object member = py::reinterpret_borrow<py::object>(cls).attr(
            std::string(EnumTraits<E>::members[i].first).c_str());
        members[i] = member.release().ptr();
      }
    }
    filled = true;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (EnumTraits<E>::members[i].second == e) {
      return py::reinterpret_borrow<py::object>(members[i]);
    }
  }
  return py::reinterpret_borrow<py::object>(cls)(enum_value(e));
}

/// The C++ member of an integer value; ValueError "7 is not a valid RFMode" when none.
template <NamedEnum E>
E enum_of_value(std::int64_t v) {
  if constexpr (vlndev::FlagEnum<E>) {
    return vlndev::flag_from_value<E>(v);
  } else {
    return enum_from_value<E>(v);
  }
}

/// True when `o` is a member of the other RF mode enumeration than E (RFMode, CellRFMode): a
/// device holds either kind, and where one mode kind is taken a member of the other stands
/// for its value, as a plain int does. Always false for other enumerations.
template <NamedEnum E>
bool is_other_mode_member(PyObject* o) {
  PyObject* other = nullptr;
  if constexpr (std::is_same_v<E, RFMode>) {
    other = py_enum_class<CellRFMode>();
  } else if constexpr (std::is_same_v<E, CellRFMode>) {
    other = py_enum_class<RFMode>();
  } else {
    return false;
  }
  const int r = PyObject_IsInstance(o, other);
  if (r < 0) {
    throw py::error_already_set();
  }
  return r == 1;
}

/// Loads an enumeration argument: a member of E's own Python class, or (with `convert`) a
/// plain int, or a member of the other RF mode enumeration, converted by value. Members of
/// other enumeration classes are refused, so that a variant of several enumerations resolves
/// to the right one. Throws ValueError for a value that names no member.
template <NamedEnum E>
bool load_enum(py::handle src, bool convert, E& out) {
  PyObject* o = src.ptr();
  const int own = PyObject_IsInstance(o, py_enum_class<E>());
  if (own < 0) {
    throw py::error_already_set();
  }
  py::object number;
  if (own == 1 || (convert && is_other_mode_member<E>(o))) {
    number = py::reinterpret_steal<py::object>(PyObject_GetAttrString(o, "value"));
    if (!number) {
      throw py::error_already_set();
    }
    if (!PyLong_Check(number.ptr())) {
      return false;  // a member whose value is not a number (BTField._version)
    }
  } else if (convert && PyLong_Check(o) && !is_enum_member(o)) {
    number = py::reinterpret_borrow<py::object>(o);
  } else {
    return false;
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (overflow != 0) {
    throw ValueError(fmt::format("{} is not a valid {}", py::str(number).cast<std::string>(),
                                 EnumTraits<E>::type_name));
  }
  if (v == -1 && PyErr_Occurred()) {
    throw py::error_already_set();
  }
  out = enum_of_value<E>(v);
  return true;
}

// --- RetType --------------------------------------------------------------------------------

/// A new arvcore.VLNUtils.RetType holding these three objects. The class's __init__ is not
/// run (it only checks and stores its arguments): the instance is made and its fields are
/// set in the order __init__ sets them, which is many times cheaper than a Python call for
/// the sub-microsecond getters.
inline py::object make_envelope(py::handle code, py::handle msg, py::handle data) {
  static PyObject* const names[3] = {PyUnicode_InternFromString("RetCode"),
                                     PyUnicode_InternFromString("RetMsg"),
                                     PyUnicode_InternFromString("RetData")};
  static PyObject* const no_args = PyTuple_New(0);
  auto* cls = reinterpret_cast<PyTypeObject*>(ret_type_class());
  py::object out =
      py::reinterpret_steal<py::object>(PyBaseObject_Type.tp_new(cls, no_args, nullptr));
  if (!out || PyObject_SetAttr(out.ptr(), names[0], code.ptr()) != 0 ||
      PyObject_SetAttr(out.ptr(), names[1], msg.ptr()) != 0 ||
      PyObject_SetAttr(out.ptr(), names[2], data.ptr()) != 0) {
    throw py::error_already_set();
  }
  return out;
}

/// The message text as a Python str; the empty message of most answers is one shared object.
inline py::object message_of(const std::string& msg) {
  if (msg.empty()) {
    static PyObject* const empty = PyUnicode_FromStringAndSize("", 0);
    return py::reinterpret_borrow<py::object>(empty);
  }
  return py::reinterpret_steal<py::object>(detail::new_str(msg));
}

/// A new arvcore.VLNUtils.RetType with the envelope's fields.
inline py::object to_python(const RetType& r) {
  py::object data = to_python(r.RetData);
  return make_envelope(py_enum_member(r.RetCode), message_of(r.RetMsg), data);
}

/// Loads any object with RetCode (a RetCode member or an int), RetMsg and RetData attributes.
/// False when an attribute is missing or has no C++ form.
inline bool load_ret_type(py::handle src, RetType& out) {
  if (src.is_none()) {
    return false;
  }
  PyObject* o = src.ptr();
  py::object code = py::reinterpret_steal<py::object>(PyObject_GetAttrString(o, "RetCode"));
  py::object msg = py::reinterpret_steal<py::object>(PyObject_GetAttrString(o, "RetMsg"));
  py::object data = py::reinterpret_steal<py::object>(PyObject_GetAttrString(o, "RetData"));
  if (!code || !msg || !data) {
    PyErr_Clear();
    return false;
  }
  RetType r;
  if (!load_enum<RetCode>(code, true, r.RetCode)) {
    return false;
  }
  if (PyUnicode_Check(msg.ptr())) {
    r.RetMsg = std::string(detail::str_view(msg.ptr()));
  } else {
    // A message that is not text (an exception object, ...) is kept as its printed form.
    r.RetMsg = py::str(msg).cast<std::string>();
  }
  if (!detail::from_py(data.ptr(), r.RetData)) {
    return false;
  }
  out = std::move(r);
  return true;
}

/// The envelope a callable answered; TypeError naming `what` when the answer is not one.
inline RetType to_ret_type(py::handle answer, std::string_view what) {
  RetType r;
  if (!load_ret_type(answer, r)) {
    throw TypeError(fmt::format("{} answered an object of type '{}' instead of a RetType", what,
                                detail::type_name_of(answer)));
  }
  return r;
}

// --- callbacks ------------------------------------------------------------------------------

/// A web-layer function called as fn(**payload); None gives an empty function.
inline vlndev::KwCallback kw_callback(const py::object& fn) {
  if (fn.is_none()) {
    return {};
  }
  return [fn = SharedObject(fn)](const Value& kwargs) -> RetType {
    if (!kwargs.is_object()) {
      throw TypeError("keyword arguments of a callback must be a map");
    }
    InPython gil;
    py::object kw = to_python(kwargs);
    py::object answer = fn.get()(**kw);
    return to_ret_type(answer, "callback");
  };
}

/// A device function called as fn(*args) with the arguments converted by the casters above;
/// its answer is converted to R (TypeError when it cannot be). None gives an empty function.
template <class R, class... A>
std::function<R(A...)> positional_callback(py::object fn) {
  if (fn.is_none()) {
    return {};
  }
  return [fn = SharedObject(std::move(fn))](A... args) -> R {
    InPython gil;
    py::object answer = fn.get()(std::forward<A>(args)...);
    if constexpr (std::is_void_v<R>) {
      return;
    } else if constexpr (std::is_same_v<R, Value>) {
      return to_value(answer, "answer of a device function");
    } else {
      static_assert(std::is_same_v<R, RetType>,
                    "a device function answers nothing, a value or a RetType");
      return to_ret_type(answer, "device function");
    }
  };
}

/// The device layout source rf_layout(); TypeError when it cannot be called.
inline vlndev::RfLayoutFn layout_callback(py::object fn) {
  if (PyCallable_Check(fn.ptr()) == 0) {
    throw TypeError(fmt::format("rf_layout must be callable, not '{}'", detail::type_name_of(fn)));
  }
  return positional_callback<Value>(std::move(fn));
}

}  // namespace arvcore::python

// --- pybind11 type casters ------------------------------------------------------------------

namespace pybind11::detail {

template <>
struct type_caster<arvcore::Value> {
 public:
  PYBIND11_TYPE_CASTER(arvcore::Value, const_name("object"));

  bool load(handle src, bool /*convert*/) {
    arvcore::Value v;
    if (!arvcore::python::detail::from_py(src.ptr(), v)) {
      return false;
    }
    value = std::move(v);
    return true;
  }

  static handle cast(const arvcore::Value& v, return_value_policy /*policy*/, handle /*parent*/) {
    return arvcore::python::detail::to_py_checked(v);
  }
};

template <>
struct type_caster<arvcore::RetType> {
 public:
  PYBIND11_TYPE_CASTER(arvcore::RetType, const_name("RetType"));

  bool load(handle src, bool /*convert*/) { return arvcore::python::load_ret_type(src, value); }

  static handle cast(const arvcore::RetType& r, return_value_policy /*policy*/, handle /*parent*/) {
    return arvcore::python::to_python(r).release();
  }
};

template <class E>
struct type_caster<E, std::enable_if_t<arvcore::NamedEnum<E>>> {
 public:
  // The class name, shown in signatures and argument errors.
  PYBIND11_TYPE_CASTER(E, const_name(arvcore_enum_literal(static_cast<E*>(nullptr))));

  bool load(handle src, bool convert) { return arvcore::python::load_enum<E>(src, convert, value); }

  static handle cast(E e, return_value_policy /*policy*/, handle /*parent*/) {
    return arvcore::python::py_enum_member(e).release();
  }
};

}  // namespace pybind11::detail
