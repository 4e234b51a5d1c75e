#include "app/command_line.h"

#include <gtest/gtest.h>

namespace torvane::app {
namespace {

TEST(CommandLine, OptionsInAnyOrderWithTheirValues) {
  const CommandLine none = parse_command_line({});
  EXPECT_EQ(none.mode, RunMode::prepare);
  EXPECT_TRUE(none.config_file.empty() && none.report_file.empty() && !none.strict && none.error.empty());

  const CommandLine all = parse_command_line({"--report", "r.json", "--strict", "--config=t.ini"});
  EXPECT_EQ(all.report_file, "r.json");
  EXPECT_EQ(all.config_file, "t.ini");
  EXPECT_TRUE(all.strict);
  EXPECT_EQ(all.error, "");

  EXPECT_EQ(parse_command_line({"--verify", "--report=v.json"}).mode, RunMode::verify);
  EXPECT_EQ(parse_command_line({"--dry-run"}).mode, RunMode::dry_run);
  EXPECT_EQ(parse_command_line({"--strict", "--help"}).mode, RunMode::help);
  EXPECT_EQ(parse_command_line({"--version"}).mode, RunMode::version);
}

TEST(CommandLine, WhatCannotBeUnderstoodIsAnError) {
  EXPECT_EQ(parse_command_line({"--config"}).error, "--config ohne Datei");
  EXPECT_EQ(parse_command_line({"--report="}).error, "--report ohne Datei");
  EXPECT_EQ(parse_command_line({"--configure"}).error, "unbekanntes Argument: --configure");
  EXPECT_EQ(parse_command_line({"x.ini"}).error, "unbekanntes Argument: x.ini");
  EXPECT_FALSE(parse_command_line({"--verify", "--dry-run"}).error.empty());
}

}  // namespace
}  // namespace torvane::app
