#include "platform/failure.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/temp_dir.h"

namespace torvane::platform {
namespace {

class FailureHandlerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    set_failure_handler(nullptr);
    set_failure_log(nullptr);
  }
};

TEST_F(FailureHandlerTest, ScriptedChoicesAndTheLog) {
  std::vector<std::string> logged;
  set_failure_log([&](const std::string& line) { logged.push_back(line); });
  set_failure_handler([](const Failure&) { return FailureChoice::retry; });
  Failure failure{"Error DBFCDX/1010  Read error: a.dbf", {"APPEND"}, true, true, {}};
  EXPECT_EQ(report_failure(failure), FailureChoice::retry);
  set_failure_handler([](const Failure&) { return FailureChoice::fail; });
  EXPECT_EQ(report_failure(failure), FailureChoice::fail);
  EXPECT_EQ(logged, (std::vector<std::string>{failure.message, failure.message}));
}

// Without a terminal (as under the test runner) the standard handler quits at once:
// status 1 and error.log with the message and the chain of operations.
TEST_F(FailureHandlerTest, StandardHandlerQuitsWithoutATerminal) {
#ifdef _WIN32
  GTEST_SKIP() << "a death test on Windows runs in a new process, with a scratch folder of its own";
#endif
  testing::TempDir dir;
  const auto quit = [&] {
    std::filesystem::current_path(dir.path());
    report_failure(Failure{"Error DBFNTX/1012  Corruption detected: pool.ntx", {"INDEX", "RUN"}, true, true, {}});
  };
  EXPECT_EXIT(quit(), ::testing::ExitedWithCode(1), "");
  std::ifstream in(dir.path("error.log"), std::ios::binary);
  std::stringstream report;
  report << in.rdbuf();
  EXPECT_EQ(report.str().rfind("Error DBFNTX/1012  Corruption detected: pool.ntx\r\n"
                               "Called from INDEX\r\nCalled from RUN\r\n", 0), 0u)
      << report.str();
}

TEST_F(FailureHandlerTest, AChoiceTheFailureDoesNotAllowQuits) {
  testing::TempDir dir;
  set_failure_handler([](const Failure&) { return FailureChoice::retry; });
  const auto refused_retry = [&] {
    std::filesystem::current_path(dir.path());
    report_failure(Failure{"Error DBFCDX/1012  Corruption detected: x", {}, false, true, {}});
  };
  EXPECT_EXIT(refused_retry(), ::testing::ExitedWithCode(1), "");
}

}  // namespace
}  // namespace torvane::platform
