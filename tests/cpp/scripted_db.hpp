#pragma once
// Test helper: a table database that records every request and answers scripted replies.
//
//   arvcore::testing::ScriptedDB db;              // installed as the back end while it lives
//   db.replies.push_back(ScriptedDB::ok({{"VER", "3.0.0"}}));
//   ... make a facade / web-mode manager, call it ...
//   db.calls[0].payload["query"]                  // what was sent
//
// Replies are taken in order; once they run out, `responder` answers (if set), else every
// request gets ok(null).

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arvcore/base/errors.hpp"
#include "arvcore/value/value.hpp"
#include "arvcore/vlndev/vln_table_db.hpp"

namespace arvcore::testing {

class ScriptedDB {
 public:
  struct Call {
    std::string table;               // table name the component was made for
    Value payload;                   // request map (or the batch of request maps)
    std::optional<std::string> cmd;  // queryCmd, when one was given
  };
  using Responder =
      std::function<Value(const Value& payload, const std::optional<std::string>& cmd)>;

 private:
  // Shared with the components handed out, which may outlive a test's expectations.
  struct State {
    std::vector<Call> calls;
    std::deque<Value> replies;
    Responder responder;
    std::vector<std::string> tables;

    Value answer(const std::string& table, const Value& payload, std::optional<std::string> cmd) {
      calls.push_back({table, payload, cmd});
      if (!replies.empty()) {
        Value r = std::move(replies.front());
        replies.pop_front();
        return r;
      }
      return responder ? responder(payload, cmd) : ok(nullptr);
    }
  };

  class Queryer : public DBQueryer {
   public:
    Queryer(std::shared_ptr<State> state, std::string table)
        : state_(std::move(state)), table_(std::move(table)) {}
    Value queryDB(const Value& payload) override {
      return state_->answer(table_, payload, std::nullopt);
    }
    Value queryDB(const Value& payload, const std::string& queryCmd) override {
      return state_->answer(table_, payload, queryCmd);
    }

   private:
    std::shared_ptr<State> state_;
    std::string table_;
  };

  std::shared_ptr<State> state_;

 public:
  /// A success reply carrying `data`.
  static Value ok(Value data) {
    Value r = Value::object();
    r["code"] = 0;
    r["data"] = std::move(data);
    return r;
  }
  /// A failure reply with a non-zero code and `message`.
  static Value fail(const std::string& message, int code = 1) {
    Value r = Value::object();
    r["code"] = code;
    r["data"] = nullptr;
    r["message"] = message;
    return r;
  }

  /// Installs itself as the back end; `refuse` makes the provider throw instead (a component
  /// that cannot be loaded).
  explicit ScriptedDB(bool refuse = false) : state_(std::make_shared<State>()) {
    auto state = state_;
    set_db_queryer_provider(
        [state, refuse](const std::string& table) -> std::unique_ptr<DBQueryer> {
          state->tables.push_back(table);
          if (refuse) {
            throw LoadError("scripted: component refused");
          }
          return std::make_unique<Queryer>(state, table);
        });
  }
  ~ScriptedDB() { set_db_queryer_provider({}); }
  ScriptedDB(const ScriptedDB&) = delete;
  ScriptedDB& operator=(const ScriptedDB&) = delete;

  std::vector<Call>& calls = state_->calls;
  std::deque<Value>& replies = state_->replies;
  Responder& responder = state_->responder;
  /// Table names components were asked for, in order.
  std::vector<std::string>& tables = state_->tables;
};

}  // namespace arvcore::testing
