#pragma once
// Failure types that reach callers. The Python package maps each to the built-in exception
// of the same name (TypeError, KeyError, ...).

#include <stdexcept>
#include <string>

namespace arvcore {

/// Base of every failure the module raises on its own.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A value of the right type but an unusable content (a cell that is not a number, ...).
class ValueError : public Error {
 public:
  using Error::Error;
};

/// An argument of the wrong type.
class TypeError : public Error {
 public:
  using Error::Error;
};

/// A missing map key.
class KeyError : public Error {
 public:
  using Error::Error;
};

/// A list position out of range.
class IndexError : public Error {
 public:
  using Error::Error;
};

/// A file that cannot be opened, read, written or renamed.
class OSError : public Error {
 public:
  using Error::Error;
};

/// Text that is not valid UTF-8.
class UnicodeError : public ValueError {
 public:
  using ValueError::ValueError;
};

/// A run-time component (such as the table database back end) that cannot be obtained.
class LoadError : public Error {
 public:
  using Error::Error;
};

}  // namespace arvcore
