#include "core/value/error.h"

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

struct KindCase {
  const char* name;
  Error error;
  ErrorKind kind;
  int os_error;
  bool not_found;
};

class ErrorKinds : public testing::TestWithParam<KindCase> {};

TEST_P(ErrorKinds, SurviveContext) {
  // A context on top, twice, keeps what the failure was.
  const KindCase& c = GetParam();
  for (const Error& e : {c.error, c.error.with_context("reading x"),
                         c.error.with_context("reading x").with_context("parsing object y")}) {
    EXPECT_EQ(e.kind(), c.kind);
    EXPECT_EQ(e.os_error(), c.os_error);
    EXPECT_EQ(e.is_not_found(), c.not_found);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ErrorKinds,
    testing::Values(KindCase{"absent", Error::from_errno(ENOENT), ErrorKind::kOs, ENOENT, true},
                    KindCase{"not_a_directory", Error::from_errno(ENOTDIR), ErrorKind::kOs, ENOTDIR, false},
                    KindCase{"nul_in_path", Error::absent("file name contains a NUL byte"), ErrorKind::kOs,
                             ENOENT, true},
                    KindCase{"denied", Error::from_errno(EACCES), ErrorKind::kOs, EACCES, false},
                    KindCase{"message", Error("No such file or directory (os error 2)"),
                             ErrorKind::kFailure, 0, false},
                    KindCase{"interrupted", Error::interrupted(), ErrorKind::kInterrupted, 0, false},
                    KindCase{"pending", Error::pending(), ErrorKind::kPending, 0, false}),
    [](const testing::TestParamInfo<KindCase>& info) { return std::string(info.param.name); });

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
