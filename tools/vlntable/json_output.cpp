// `--json`: one JSON document on standard output; log lines and messages stay on standard error.

#include <cmath>
#include <iostream>

#include "arvcore/sdk/enum_traits.hpp"
#include "arvcore/value/json.hpp"
#include "commands.hpp"

namespace vlntable {

arvcore::Value strict_json(arvcore::Value doc) {
  if (doc.is_number_float() && !std::isfinite(doc.get<double>())) {
    return nullptr;
  }
  if (doc.is_array() || doc.is_object()) {
    for (auto& v : doc) {
      v = strict_json(std::move(v));
    }
  }
  return doc;
}

void print_json(const arvcore::Value& doc) {
  std::cout << arvcore::value::dump_json(strict_json(doc), 2) << "\n";
}

void print_json_error(const std::string& message) {
  print_json({{"error", message}});
}

bool& json_requested() {
  static bool requested = false;
  return requested;
}

arvcore::Value result_json(const arvcore::RetType& r) {
  return {{"code", std::string(arvcore::enum_name(r.RetCode))}, {"message", r.RetMsg}};
}

}  // namespace vlntable
