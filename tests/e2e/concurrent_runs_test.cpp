// Two runs over one medium at the same time, tables opened exclusively or shared: one
// does the work, the other refuses at once with one line and changes nothing, and the
// medium ends as after a lone run. The image server holds its first answer for a while,
// so the first run is still at work when the second one starts.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "support/e2e_support.h"
#include "support/http_test_server.h"
#include "support/medium_builder.h"
#include "support/medium_state.h"
#include "support/run_torvane.h"
#include "support/temp_dir.h"

namespace torvane::testing {
namespace {

namespace fs = std::filesystem;

class ConcurrentRuns : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (torvane_executable().empty()) GTEST_SKIP() << "TORVANE_EXE is not set";
    MediumOptions options;
    options.pools = 2;
    options.records = 20;
    options.filter_lines = 0.05;
    options.covers = 6;
    options.args = {"--import-table"};
    const GeneratedMedium medium = make_medium(dir.path("pristine/dvd"), options);
    ASSERT_TRUE(medium.ok) << medium.error;
  }

  // A fresh copy of the medium with a program of its own in <name>/.
  void prepare(const std::string& name) {
    fs::create_directories(dir.path(name));
    fs::copy(dir.path("pristine/dvd"), dir.path(name + "/dvd"), fs::copy_options::recursive);
    copy_program(dir.path(name + "/bin"));
  }

  RunResult run(const std::string& name, const std::string& working_folder) {
    const std::string root = dir.path(name + "/dvd");
    fs::create_directories(dir.path(working_folder));
    RunOptions options;
    options.working_directory = dir.path(working_folder);
    options.executable = dir.path(name + "/bin/torvane");
    options.config = "[DVD]\r\nPfad=" + root + "\r\nName=Parallel\r\nExklusive=" + GetParam() +
                     "\r\n[MAB]\r\nPoolFilter=POOL1;POOL2\r\n[Download]\r\nCover=1\r\nCover2Pool=1\r\n" +
                     "CoverDBF=" + root + "\\COVER\\COVER.DBF\r\nCoverImportDBF=" + root +
                     "\\COVER\\IMPORT.DBF\r\nInternet=1\r\nServer=127.0.0.1:" + std::to_string(server.port()) +
                     "\r\nTimeout=5000\r\n";
    return run_torvane(options);
  }

  MediumState state_of(const std::string& name) {
    return medium_state({dir.path(name + "/dvd"), dir.path(name + "/bin")});
  }

  // Two runs over the medium of `name`, the second started `delay` after the first.
  std::pair<RunResult, RunResult> pair_of_runs(const std::string& name, std::chrono::milliseconds delay) {
    prepare(name);
    hold_next = true;
    RunResult first, second;
    std::thread a([&] { first = run(name, name + "/run1"); });
    std::this_thread::sleep_for(delay);
    std::thread b([&] { second = run(name, name + "/run2"); });
    a.join();
    b.join();
    return {first, second};
  }

  std::string refusal(const std::string& name) {
    return kBanner + "Error: Auf dem Datentr\xE4ger " + dir.path(name + "/dvd") + "\\ arbeitet bereits ein anderer Lauf.\r\n\r\n";
  }

  TempDir dir{"e2e.concurrent."};
  std::atomic<bool> hold_next{false};
  HttpTestServer server{[this](const std::string&) {
    ScriptedReply reply{HttpTestServer::response(404, "")};
    if (hold_next.exchange(false)) reply.pause = std::chrono::milliseconds(1500);
    return reply;
  }};
};

TEST_P(ConcurrentRuns, OneRunWorksTheOtherRefusesAndChangesNothing) {
  prepare("lone");
  hold_next = true;
  const RunResult lone = run("lone", "lone/run");
  ASSERT_EQ(lone.exit_status, 0);
  ASSERT_TRUE(lone.log.ends_with(kClosing));
  const MediumState expected = state_of("lone");

  // Started together: either may win, exactly one works.
  {
    auto [first, second] = pair_of_runs("together", std::chrono::milliseconds(0));
    EXPECT_EQ(first.exit_status, 0);
    EXPECT_EQ(second.exit_status, 0);
    const bool first_refused = first.log == refusal("together");
    const bool second_refused = second.log == refusal("together");
    EXPECT_NE(first_refused, second_refused) << "first:\n" << first.log << "\nsecond:\n" << second.log;
    EXPECT_TRUE((first_refused ? second : first).log.ends_with(kClosing));
    EXPECT_EQ(compare_states(expected, state_of("together")), std::vector<std::string>{});
  }
  // Started 0.2 s apart: the later one refuses.
  {
    auto [first, second] = pair_of_runs("apart", std::chrono::milliseconds(200));
    EXPECT_EQ(second.exit_status, 0);
    EXPECT_EQ(second.log, refusal("apart"));
    EXPECT_TRUE(first.log.ends_with(kClosing)) << first.log;
    EXPECT_EQ(compare_states(expected, state_of("apart")), std::vector<std::string>{});
  }
  // Once the first run has ended, the medium is free again and nothing is left of the
  // guard on it.
  const RunResult later = run("apart", "apart/run3");
  EXPECT_TRUE(later.log.ends_with(kClosing));
  EXPECT_EQ(compare_states(expected, state_of("apart")), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(OpenModes, ConcurrentRuns, ::testing::Values("1", "0"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param) == "1" ? "Exclusive" : "Shared";
                         });

}  // namespace
}  // namespace torvane::testing
