#pragma once
// The enumerations that have a Python class, by the module that shows them.

#include "arvcore/sdk/enums.hpp"
#include "arvcore/vlndev/enums.hpp"

namespace arvcore::python {

template <class... E>
struct EnumList {};

// The classes of arvcore.VLNPublic and those of arvcore.vlndev.VLNTableManager.
using PublicEnums = EnumList<RetCode, RFMode, CellRFMode, BeamType, POLARIZATION>;
using ModuleEnums = EnumList<vlndev::BTModeFilter, vlndev::BTSetOption, vlndev::BTField,
                             vlndev::BTBeamField, vlndev::AAKitField>;

}  // namespace arvcore::python
