#include "arvcore/sdk/db_queryer.hpp"

#include <utility>

#include "arvcore/sdk/errors.hpp"
#include "arvcore/sdk/table_db_queryer.hpp"

namespace arvcore {
namespace {

DBQueryerProvider& installed_provider() {
  static DBQueryerProvider provider = tabledb::default_db_queryer;
  return provider;
}

}  // namespace

Value DBQueryer::selectTable(const Value& /*payload*/, const Value& /*layout*/) {
  Value reply = Value::object();
  reply["code"] = 0;
  reply["data"] = nullptr;
  return reply;
}

void set_db_queryer_provider(DBQueryerProvider provider) {
  installed_provider() = provider ? std::move(provider) : tabledb::default_db_queryer;
}

std::unique_ptr<DBQueryer> load_db_queryer(const std::string& table_name) {
  const auto& provider = installed_provider();
  if (!provider) {
    throw LoadError("no table database back end is installed");
  }
  auto queryer = provider(table_name);
  if (!queryer) {
    throw LoadError("the table database back end gave no component for " + table_name);
  }
  return queryer;
}

}  // namespace arvcore
