#include "app/verify/medium_verify.h"

#include "app/console.h"

namespace torvane::app {

std::vector<VerifyFinding> verify_medium(const RunConfig&, std::string_view) {
  console_line("PLACEHOLDER: the medium check is being built");
  return {};
}

}  // namespace torvane::app
