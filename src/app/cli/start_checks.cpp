#include "app/cli/start_checks.h"

#include <string>
#include <utility>

#include "log/log.h"
#include "log/native_path.h"
#include "record/record.h"

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
  const std::string program = std::string(kProgramFileName) + ": ";
  const Options& options = env.options;
  // A server's URI is no file name.
  const bool recordIsFile = !options.record.empty() && record::BackendFor(options.record) != record::Backend::Postgres;
  const std::pair<const char*, const std::string*> paths[] = {
      {"--record", recordIsFile ? &options.record : nullptr},
      {"--log-dir", &options.logDir},
      {"--slots", &options.slots},
      {"--teach", &options.teach},
  };
  for (const auto& [name, value] : paths) {
    if (value == nullptr || value->empty()) continue;
    if (const std::string problem = PathNameProblem(*value); !problem.empty()) {
      return Refuse(env, program + name + " " + *value + " " + problem + ", not a file",
                    {{std::string(name).substr(2), *value}});
    }
  }
  if (!options.logDir.empty()) {
    std::string problem;
    env.logFolder = station::UnitLogFolder::Open(PathFromUtf8(options.logDir), problem);
    if (!env.logFolder) {
      return Refuse(env, program + "--log-dir " + options.logDir + " " + problem +
                             " (it must be a writable folder of your own)",
                    {{"log_dir", options.logDir}});
    }
  }
  // --slots: the station takes only units on the ports the file names. A
  // bad file ends the start-up before any unit is looked at.
  if (!options.slots.empty()) {
    std::string error;
    env.slots = station::ReadSlotFile(PathFromUtf8(options.slots), PortFormFor(env), error);
    if (!env.slots) {
      return Refuse(env, program + "the slot file " + options.slots + " is refused: " + error,
                    {{"slots", options.slots}});
    }
  }
  return std::nullopt;
}

}  // namespace orvik::cli
