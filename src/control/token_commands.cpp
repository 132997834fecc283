#include "control/token_commands.h"

#include <utility>

#include "fileutil/time_format.h"
#include "settings/api_tokens.h"

namespace quillon::control {

namespace {

// Reads the file; a file with faults is not changed (its faulty lines would
// be lost), so the result says so.
bool ReadTokens(const std::string& path, settings::ApiTokens* tokens, CommandResult* result) {
  std::string message;
  if (tokens->Load(path, &message)) return true;
  result->code = CommandResult::kRefused;
  result->err = message + "\nCorrect or remove those lines of the file first.\n";
  return false;
}

}  // namespace

TokenCommands::TokenCommands(platform::Clock& clock, std::string path, fileutil::FileWriter& writer)
    : clock_(clock), path_(std::move(path)), writer_(writer) {}

CommandResult TokenCommands::Run(const std::vector<std::string>& args) {
  if (args.size() >= 3 && args[1] == "add") return Add(args);
  if (args.size() == 2 && args[1] == "list") return List();
  if (args.size() == 3 && args[1] == "remove") return Remove(args[2]);
  CommandResult usage;
  usage.code = CommandResult::kBadUsage;
  return usage;
}

CommandResult TokenCommands::Add(const std::vector<std::string>& args) {
  CommandResult result;
  CommandOptions options;
  if (!options.Parse(args, 2, {}, {"--read-only"}, &result.err) || options.words.size() != 1) {
    result.code = CommandResult::kBadUsage;
    return result;
  }
  settings::ApiTokens tokens;
  if (!ReadTokens(path_, &tokens, &result)) return result;
  const std::string& name = options.words[0];
  const bool read_only = options.Has("--read-only");
  std::string token, message;
  if (!tokens.Add(name, read_only, clock_.WallTimeNs() / 1'000'000'000, &token, &message)) {
    result.code = CommandResult::kRefused;
    result.err = message + "\n";
    return result;
  }
  if (!tokens.Save(path_, writer_)) {
    result.code = CommandResult::kRefused;
    result.err = "Unable to write " + path_ + ".\n";
    return result;
  }
  result.out = "Token " + name + " (" + (read_only ? "read-only" : "read-write") +
               ") added. It is shown only this once; keep it secret:\n" + token + "\n";
  return result;
}

CommandResult TokenCommands::List() {
  CommandResult result;
  settings::ApiTokens tokens;
  std::string message;
  // Listing changes nothing: the valid tokens show, the faults go to err.
  if (!tokens.Load(path_, &message)) result.err = message + "\n";
  if (tokens.Entries().empty()) result.out = "There are no API tokens.\n";
  for (const settings::ApiTokens::Entry& entry : tokens.Entries()) {
    const std::string created =
        fileutil::FormatFileTime(platform::FileTime{entry.created_seconds, 0}, fileutil::TimeFormat::kHttp, false);
    result.out += entry.name + "  " + (entry.read_only ? "read-only" : "read-write") + "  created " + created +
                  " UTC\n";
  }
  return result;
}

CommandResult TokenCommands::Remove(const std::string& name) {
  CommandResult result;
  settings::ApiTokens tokens;
  if (!ReadTokens(path_, &tokens, &result)) return result;
  if (!tokens.Remove(name)) {
    result.code = CommandResult::kRefused;
    result.err = "There is no token named " + name + ".\n";
    return result;
  }
  if (!tokens.Save(path_, writer_)) {
    result.code = CommandResult::kRefused;
    result.err = "Unable to write " + path_ + ".\n";
    return result;
  }
  result.out = "Token " + name + " removed.\n";
  return result;
}

}  // namespace quillon::control
