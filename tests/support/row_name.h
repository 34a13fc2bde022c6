#pragma once

#include <gtest/gtest.h>

#include <string>

namespace vesk::testing {

// Names each row of a parameterised table after its `name` field.
struct RowName {
  template <typename Row>
  std::string operator()(const ::testing::TestParamInfo<Row>& row) const {
    return row.param.name;
  }
};

}  // namespace vesk::testing
