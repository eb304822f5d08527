// Table database facade: requests, held queries and batches, reply conversion, failures; and
// the web-mode calibration manager on top of it.

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "arvcore/base/errors.hpp"
#include "arvcore/value/json.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "arvcore/vlndev/vln_table_db.hpp"
#include "log_capture.hpp"
#include "scripted_db.hpp"

namespace {

using arvcore::RetCode;
using arvcore::RetType;
using arvcore::Value;
using arvcore::log::Level;
using arvcore::testing::LogCapture;
using arvcore::testing::ScriptedDB;
using arvcore::value::parse_json;
using arvcore::vlndev::CalibrationTableManager;
using arvcore::vlndev::VLNTableDB;
using arvcore::vlndev::VLNTableDBError;

std::shared_ptr<Value> templ() {
  return std::make_shared<Value>(parse_json(R"({"sn": "D2230E013-28", "frequency": 28})"));
}

// Runs `fn`, expecting a VLNTableDBError; returns its envelope.
template <class Fn>
RetType db_error(Fn&& fn) {
  try {
    fn();
  } catch (const VLNTableDBError& e) {
    EXPECT_EQ(std::string(e.what()), e.ret().RetMsg);
    return e.ret();
  }
  ADD_FAILURE() << "no VLNTableDBError";
  return RetType();
}

TEST(VLNTableDB, SingleQueryPayloadAndReplies) {
  ScriptedDB db;
  auto t = templ();
  LogCapture logs({"TblDB"});
  VLNTableDB facade("calibration", t);
  EXPECT_EQ(db.tables, std::vector<std::string>{"calibration"});

  db.replies.push_back(ScriptedDB::ok(parse_json(R"({"VER": "3.0.0"})")));
  EXPECT_EQ(facade.query("VER"), RetType::Data("3.0.0"));
  ASSERT_EQ(db.calls.size(), 1u);
  EXPECT_FALSE(db.calls[0].cmd);
  const Value expected = parse_json(
      R"({"sn": "D2230E013-28", "frequency": 28, "category": "GENERAL", "query": ["VER"]})");
  EXPECT_EQ(arvcore::value::dump_json(db.calls[0].payload, -1),
            arvcore::value::dump_json(expected, -1));
  EXPECT_EQ(logs.count(Level::debug,
                       "[Query]: {'sn': 'D2230E013-28', 'frequency': 28, "
                       "'category': 'GENERAL', 'query': ['VER']}"),
            1)
      << logs.dump();

  // Two-key maps and other data come back unchanged.
  db.replies.push_back(ScriptedDB::ok(parse_json(R"({"a": 1, "b": 2})")));
  EXPECT_EQ(facade.query("X", "OTHER").RetData, parse_json(R"({"a": 1, "b": 2})"));
  EXPECT_EQ(db.calls[1].payload["category"], "OTHER");
  db.replies.push_back(ScriptedDB::ok(parse_json("[1, 2]")));
  EXPECT_EQ(facade.query("X").RetData, parse_json("[1, 2]"));

  // Key paths: list of lists gives one path each, a flat list one joined path.
  facade.query(parse_json(R"([["DR", "TX"], ["DR", "RX"]])"));
  EXPECT_EQ(db.calls.back().payload["query"], parse_json(R"(["DR.TX", "DR.RX"])"));
  facade.query(parse_json(R"(["BOARD_1", "TX", "COMDR"])"));
  EXPECT_EQ(db.calls.back().payload["query"], parse_json(R"(["BOARD_1.TX.COMDR"])"));
  const auto sent = db.calls.size();
  EXPECT_THROW(facade.query(parse_json(R"(["BOARD_1", 2])")), arvcore::TypeError);
  EXPECT_THROW(facade.query(parse_json(R"([["DR", "TX"], "VER"])")), arvcore::TypeError);
  EXPECT_EQ(db.calls.size(), sent);

  // The template is the caller's map.
  EXPECT_EQ(facade.setFreq(27.5), RetType());
  EXPECT_EQ(facade.setAAKitName("KIT"), RetType());
  EXPECT_EQ((*t)["frequency"], 27.5);
  EXPECT_EQ((*t)["AAKIT_NAME"], "KIT");
  facade.query("VER");
  EXPECT_EQ(db.calls.back().payload["frequency"], 27.5);
  EXPECT_EQ(db.calls.back().payload["AAKIT_NAME"], "KIT");
}

TEST(VLNTableDB, HeldQueriesGoAsOneBatch) {
  ScriptedDB db;
  VLNTableDB facade("calibration", templ());
  EXPECT_EQ(facade.query("A", "GENERAL", false), RetType());
  facade.setFreq(27.5);  // the held request keeps the frequency it was made with
  EXPECT_EQ(facade.query("B", "GENERAL", false), RetType());
  EXPECT_TRUE(db.calls.empty());
  EXPECT_EQ(facade.heldQueries().size(), 2u);

  db.replies.push_back(
      ScriptedDB::ok(parse_json(R"({"query-2": "c", "query-0": "a", "query-1": "b"})")));
  EXPECT_EQ(facade.query("C").RetData, parse_json(R"(["a", "b", "c"])"));
  ASSERT_EQ(db.calls.size(), 1u);
  EXPECT_EQ(db.calls[0].cmd, "getMultiData");
  const Value& batch = db.calls[0].payload;
  EXPECT_EQ(batch.size(), 3u);
  EXPECT_EQ(batch["query-0"]["frequency"], 28);
  EXPECT_EQ(batch["query-1"]["frequency"], 27.5);
  EXPECT_EQ(batch["query-2"]["query"], parse_json(R"(["C"])"));
  EXPECT_TRUE(facade.heldQueries().empty());

  // Left-out results stay 0 while the rest fits the shorter list.
  facade.query("A", "GENERAL", false);
  facade.query("B", "GENERAL", false);
  db.replies.push_back(ScriptedDB::ok(parse_json(R"({"query-1": "b", "query-0": "a"})")));
  EXPECT_EQ(facade.query("C").RetData, parse_json(R"(["a", "b"])"));
  facade.cleanQueryCache();
  facade.query("G");
  EXPECT_FALSE(db.calls.back().cmd);
}

// A batch that fails, however it fails, is dropped: the next query goes out alone and answers
// its own request, never the batch's rows.
TEST(VLNTableDB, FailedBatchIsDropped) {
  ScriptedDB db;
  VLNTableDB facade("calibration", templ());
  const Value failures[] = {
      "server gone",                                                       // unreachable
      ScriptedDB::fail("busy"),                                            // refused
      parse_json(R"({"code": 0, "data": {"query-0": 1, "x": 2}})"),        // foreign batch key
      parse_json(R"({"code": 0, "data": {"query-5": 1, "query-0": 2}})"),  // number too high
      parse_json(R"({"code": 0, "data": [1, 2]})"),                        // not a map
      parse_json(R"({"code": 0})"),                                        // no data
  };
  for (const Value& failure : failures) {
    db.calls.clear();
    facade.query("A", "BOARD_1", false);
    facade.query("B", "BOARD_2", false);
    db.replies.push_back(failure);
    EXPECT_THROW(facade.query("C", "BOARD_3"), arvcore::Error) << failure;
    EXPECT_TRUE(facade.heldQueries().empty()) << failure;
    db.replies.push_back(ScriptedDB::ok(parse_json(R"({"VER": "3.0.0"})")));
    EXPECT_EQ(facade.query("VER"), RetType::Data("3.0.0")) << failure;
    ASSERT_EQ(db.calls.size(), 2u);
    EXPECT_FALSE(db.calls[1].cmd) << failure;
    EXPECT_EQ(db.calls[1].payload["query"], parse_json(R"(["VER"])"));
  }
}

TEST(VLNTableDB, FailedReplies) {
  ScriptedDB db;
  VLNTableDB facade("calibration", templ());
  db.replies.push_back("no route to host");
  EXPECT_EQ(db_error([&] { facade.query("VER"); }),
            RetType(RetCode::ERROR_DB_SERVER, "DB server connection error"));
  db.replies.push_back(ScriptedDB::fail("no such table", 3));
  EXPECT_EQ(db_error([&] { facade.getTableList("Freq"); }),
            RetType(RetCode::ERROR_DB_FEEDBACK, "no such table"));
  db.replies.push_back(parse_json(R"({"data": 1})"));
  EXPECT_THROW(facade.query("VER"), arvcore::KeyError);
  db.replies.push_back(parse_json(R"({"code": 0})"));
  EXPECT_THROW(facade.query("VER"), arvcore::KeyError);
  db.replies.push_back(parse_json(R"({"code": 2, "data": null})"));
  EXPECT_THROW(facade.query("VER"), arvcore::KeyError);
  db.replies.push_back(parse_json("[0]"));
  EXPECT_THROW(facade.query("VER"), arvcore::TypeError);

  // The list command carries the bare template.
  db.replies.push_back(ScriptedDB::ok(parse_json(R"({"freq": [27.5, 28]})")));
  EXPECT_EQ(facade.getTableList("Freq").RetData, parse_json("[27.5, 28]"));
  EXPECT_EQ(db.calls.back().cmd, "getFreqList");
  EXPECT_EQ(db.calls.back().payload, *templ());
}

TEST(VLNTableDB, ComponentThatCannotBeLoaded) {
  ScriptedDB db(/*refuse=*/true);
  LogCapture logs({"TblDB"});
  auto t = templ();
  VLNTableDB facade("calibration", t);
  EXPECT_EQ(logs.count(Level::error, "Dynamically import DB lib failed"), 1);
  EXPECT_NE(logs.records.at(0).exc.find("component refused"), std::string::npos);
  const RetType down(RetCode::ERROR_DB_SERVER, "DB server connection error");
  EXPECT_EQ(db_error([&] { facade.query("VER"); }), down);
  EXPECT_EQ(db_error([&] { facade.query("VER", "GENERAL", false); }), down);
  EXPECT_EQ(db_error([&] { facade.setFreq(27); }), down);
  EXPECT_EQ(db_error([&] { facade.setAAKitName("K"); }), down);
  EXPECT_EQ(db_error([&] { facade.getTableList("Freq"); }), down);
  EXPECT_EQ(db_error([&] { facade.cleanQueryCache(); }), down);
  EXPECT_EQ((*t)["frequency"], 28);

  // The manager above it answers envelopes.
  CalibrationTableManager m(
      "D2230E013-28", 28,
      [] {
        return Value::array({1, 1, 4});
      },
      false, true);
  EXPECT_EQ(m.getFrequencyList(), down);
  EXPECT_EQ(m.queryCaliTableVer(), down);
  EXPECT_EQ(m.checkCaliTableLocation().RetData, true);
}

TEST(VLNTableDB, WebModeManager) {
  ScriptedDB db;
  LogCapture logs({"CaliTbl"});
  CalibrationTableManager m(
      "D2230E013-28", 28,
      [] {
        return Value::array({4, 1, 4});
      },
      false, true);
  EXPECT_TRUE(db.calls.empty());

  EXPECT_EQ(m.parse(27.5), RetType());
  EXPECT_EQ(m.db()->requestTemplate()["frequency"], 27.5);
  EXPECT_TRUE(db.calls.empty());
  // A parse clears whatever a host left held on the facade.
  m.db()->query("VER", "GENERAL", false);
  EXPECT_EQ(m.parse(27.5), RetType());
  EXPECT_TRUE(m.db()->heldQueries().empty());

  db.replies.push_back(ScriptedDB::ok(parse_json(R"({"VER": "3.1.0"})")));
  EXPECT_EQ(m.queryCaliTableVer(), RetType::Data("3.1.0"));
  EXPECT_EQ(db.calls.back().payload["frequency"], 27.5);

  db.replies.push_back(ScriptedDB::ok(parse_json("[27.5, 28.0]")));
  EXPECT_EQ(m.getFrequencyList().RetData, parse_json("[27.5, 28.0]"));
  EXPECT_EQ(m.freq_list(), parse_json("[27.5, 28.0]"));
  EXPECT_EQ(db.calls.back().cmd, "getFreqList");

  db.replies.push_back("timeout");
  const RetType down(RetCode::ERROR_DB_SERVER, "DB server connection error");
  EXPECT_EQ(m.queryCaliTableVer(), down);
  EXPECT_EQ(logs.count(Level::error, "Exception: " + down.to_string()), 1) << logs.dump();
  db.replies.push_back(ScriptedDB::fail("gone"));
  EXPECT_EQ(m.getFrequencyList(), RetType(RetCode::ERROR_DB_FEEDBACK, "gone"));
  EXPECT_EQ(m.freq_list(), parse_json("[27.5, 28.0]"));
}

}  // namespace
