#include "core/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace tesmo {
namespace {

TEST(Error, OsErrorText) {
  EXPECT_EQ(Error::from_errno(ENOENT).message(), "No such file or directory (os error 2)");
  EXPECT_EQ(Error::from_errno(EFBIG).message(), "File too large (os error 27)");
}

TEST(Error, ContextHidesCauseButKeepsIt) {
  Error inner = Error::from_errno(ENOENT);
  Error outer = inner.with_context("opening /x");
  EXPECT_EQ(outer.message(), "opening /x");
  ASSERT_NE(outer.cause(), nullptr);
  EXPECT_EQ(outer.cause()->message(), inner.message());
  EXPECT_EQ(outer.cause()->cause(), nullptr);
  // Wrapping twice keeps the whole chain.
  Error twice = outer.with_context("parsing commit c");
  EXPECT_EQ(twice.message(), "parsing commit c");
  EXPECT_EQ(twice.cause()->cause()->message(), inner.message());
}

TEST(Result, HoldsValueOrError) {
  Result<int> ok = 5;
  Result<int> bad = Error("nope");
  ASSERT_TRUE(ok);
  EXPECT_EQ(*ok, 5);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(), "nope");
  Status fine;
  Status failed = Error("x");
  EXPECT_TRUE(fine);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message(), "x");
}

}  // namespace
}  // namespace tesmo
