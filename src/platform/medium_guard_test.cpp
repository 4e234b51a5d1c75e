#include "platform/medium_guard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fs.h"
#include "support/temp_dir.h"

namespace torvane::platform {
namespace {

using testing::TempDir;

// A second guard on one medium is refused while the first is held, whichever path
// names the medium, and granted again once it is released; nothing is left on the
// medium either way.
TEST(MediumGuard, OneHolderPerMediumAndNothingLeftOnIt) {
  TempDir dir;
  dir.write("DVD/POOL.INI", "[Pool]\r\n");
  MediumGuard first = MediumGuard::take(dir.path("DVD") + "\\");
  ASSERT_EQ(first.state(), MediumGuard::State::held);
  EXPECT_EQ(MediumGuard::take(dir.path("DVD")).state(), MediumGuard::State::busy);
#ifndef _WIN32
  EXPECT_EQ(MediumGuard::take(dir.path("dvd/")).state(), MediumGuard::State::busy);  // letter case resolved
#endif
  dir.make_dir("OTHER");
  EXPECT_EQ(MediumGuard::take(dir.path("OTHER")).state(), MediumGuard::State::held);

  MediumGuard moved = std::move(first);
  EXPECT_EQ(first.state(), MediumGuard::State::unavailable);
  EXPECT_EQ(MediumGuard::take(dir.path("DVD")).state(), MediumGuard::State::busy);
  moved.release();
  EXPECT_EQ(MediumGuard::take(dir.path("DVD")).state(), MediumGuard::State::held);
  EXPECT_EQ(list_files(dir.path("DVD"), "*", true), std::vector<std::string>{"POOL.INI"});
  EXPECT_EQ(list_directories(dir.path("DVD")), std::vector<std::string>{});
}

TEST(MediumGuard, MissingMediumHoldsNothing) {
  TempDir dir;
  EXPECT_EQ(MediumGuard::take(dir.path("missing")).state(), MediumGuard::State::unavailable);
}

}  // namespace
}  // namespace torvane::platform
