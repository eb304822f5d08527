#pragma once
// RetType: the result envelope every public operation answers with.

#include <string>
#include <utility>

#include "arvcore/sdk/enums.hpp"
#include "arvcore/value/value.hpp"

namespace arvcore {

/// Result code, message and data of one operation. All three fields are public and
/// assignable; callers compare RetCode with RetCode::OK.
class RetType {
 public:
  ::arvcore::RetCode RetCode = ::arvcore::RetCode::OK;
  std::string RetMsg;
  Value RetData;

  /// Code OK, empty message, null data.
  RetType() = default;
  /// An error or warning answer: code and message (and optionally data).
  RetType(::arvcore::RetCode code, std::string msg, Value data = nullptr)
      : RetCode(code), RetMsg(std::move(msg)), RetData(std::move(data)) {}
  /// Only a code; message empty, data null.
  explicit RetType(::arvcore::RetCode code) : RetCode(code) {}

  /// Keyword form `RetType(msg=...)`: code OK, null data.
  static RetType Msg(std::string msg) { return RetType(::arvcore::RetCode::OK, std::move(msg)); }
  /// Keyword form `RetType(data=...)`: code OK, empty message.
  static RetType Data(Value data) {
    return RetType(::arvcore::RetCode::OK, std::string(), std::move(data));
  }

  bool ok() const { return RetCode == ::arvcore::RetCode::OK; }

  /// Printed form used in log lines:
  /// "RetType(RetCode=RetCode.OK, RetMsg='', RetData=None)".
  std::string to_string() const;

  friend bool operator==(const RetType& a, const RetType& b) {
    return a.RetCode == b.RetCode && a.RetMsg == b.RetMsg && a.RetData == b.RetData;
  }
};

}  // namespace arvcore
