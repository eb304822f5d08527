#include "arvcore/sdk/db_queryer.hpp"

namespace arvcore {

Value DBQueryer::selectTable(const Value& /*payload*/, const Value& /*layout*/) {
  Value reply = Value::object();
  reply["code"] = 0;
  reply["data"] = nullptr;
  return reply;
}

}  // namespace arvcore
