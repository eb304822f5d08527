#include <gtest/gtest.h>

#include "arvcore/value/json.hpp"
#include "arvcore/value/pynum.hpp"

TEST(Smoke, FloatReprAndJson) {
  EXPECT_EQ(arvcore::value::float_repr(5.0), "5.0");
  EXPECT_EQ(arvcore::value::float_repr(1e-5), "1e-05");
  EXPECT_EQ(arvcore::value::float_repr(1e16), "1e+16");
  arvcore::Value v = arvcore::value::parse_json(R"({"b": [1, 2.5, "x"], "a": {}})");
  EXPECT_EQ(arvcore::value::dump_json(v, 2),
            "{\n  \"b\": [\n    1,\n    2.5,\n    \"x\"\n  ],\n  \"a\": {}\n}");
}
