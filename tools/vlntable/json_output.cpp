// `--json`: one JSON document on standard output; log lines and messages stay on standard error.

#include <iostream>

#include "arvcore/sdk/enum_traits.hpp"
#include "arvcore/value/json.hpp"
#include "commands.hpp"

namespace vlntable {

void print_json(const arvcore::Value& doc) {
  std::cout << arvcore::value::dump_json(doc, 2) << "\n";
}

arvcore::Value result_json(const arvcore::RetType& r) {
  return {{"code", std::string(arvcore::enum_name(r.RetCode))}, {"message", r.RetMsg}};
}

}  // namespace vlntable
