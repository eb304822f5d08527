#pragma once
// Shapes of the functions that device objects hand to the managers.

#include <functional>

#include "arvcore/sdk/ret_type.hpp"
#include "arvcore/value/value.hpp"

namespace arvcore::vlndev {

/// A web-layer function supplied by the caller: receives its payload as a map of keyword
/// arguments (Python: called as fn(**payload)) and answers an envelope.
using KwCallback = std::function<RetType(const Value& kwargs)>;

/// Device layout source: returns a list of exactly three integers (boards, ICs per board,
/// channels per IC).
using RfLayoutFn = std::function<Value()>;

}  // namespace arvcore::vlndev
