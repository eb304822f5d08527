#include "arvcore/sdk/ret_type.hpp"

#include <fmt/format.h>

#include "arvcore/value/pynum.hpp"

namespace arvcore {

std::string RetType::to_string() const {
  return fmt::format("RetType(RetCode={}, RetMsg={}, RetData={})", enum_text(RetCode),
                     value::repr(Value(RetMsg)), value::repr(RetData));
}

}  // namespace arvcore
