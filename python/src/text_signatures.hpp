#pragma once
// Text signatures for the compiled functions.
//
// A pybind11 function carries its signature only as the first line of its docstring, so
// `inspect.signature` (and every tool built on it: help(), IDEs, the stub checker) fails on
// it. CPython reads a builtin's signature from a docstring that begins with
// "name(params)\n--\n\n"; the helpers here put such a line, made from the function's own
// argument records (names, kinds, defaults), in front of the docstring pybind11 wrote.

#include <string>

#include <pybind11/pybind11.h>

namespace arvcore::python {

/// How a method's first parameter is written.
enum class SelfParam {
  /// "self": the function object is a pybind11 function, whose `__self__` is its record,
  /// so a `$self` would be dropped from the unbound method's signature.
  plain,
  /// "$self": a method descriptor made in C (a fast lane), bound like any builtin method.
  bound,
  /// Left out: the signature of the class itself, which `__init__` gives.
  omitted,
};

/// The docstring of the pybind11 function `function` with its text signature in front. An
/// overload chain is written as taking `*args, **kwargs`, as pybind11's own first line does.
std::string signed_doc(pybind11::handle function, SelfParam self);

/// Gives every pybind11 function of `m`, every method of the classes defined in `m`, and each
/// of those classes (from its `__init__`), its text signature. Called once, after every class
/// and function has been bound.
void sign_functions(pybind11::module_& m);

}  // namespace arvcore::python
