#include "app/cli/start_checks.h"

#include <string>
#include <utility>

#include "app/cli/station_setup.h"
#include "log/log.h"

namespace orvik::cli {
namespace {

int Refuse(CommandEnvironment& env, const std::string& text, Json fields) {
  env.err << text << '\n' << std::flush;
  LogLine(text);
  if (env.events != nullptr) {
    fields["text"] = text;
    env.events->Emit("error", fields);
    env.events->Emit("result", {{"status", kExitStartupFailed}, {"failure", nullptr}, {"message", text}});
  }
  return kExitStartupFailed;
}

}  // namespace

std::optional<int> CheckStart(CommandEnvironment& env) {
  StartPaths opened;
  if (const std::optional<StartRefusal> refusal = CheckStartPaths(env.options, PortFormFor(env), opened)) {
    return Refuse(env, std::string(kProgramFileName) + ": " + refusal->text, {{refusal->field, refusal->value}});
  }
  env.logFolder = std::move(opened.logFolder);
  env.slots = std::move(opened.slots);
  return std::nullopt;
}

}  // namespace orvik::cli
