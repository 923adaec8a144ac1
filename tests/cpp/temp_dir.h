// A fresh directory under $TMPDIR (or /tmp) for each test, removed with
// everything in it afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace tesmo::testing_support {

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tesmo-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  // `dir_` + "/" + name
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

}  // namespace tesmo::testing_support
