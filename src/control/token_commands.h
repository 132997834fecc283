// The set-up tool's commands on the API tokens of config/tokens.conf:
//
//   token add NAME [--read-only]   makes a token and prints it, once
//   token list                     names, access and when each was made
//   token remove NAME
//
// They work on the file itself (which only its owner may read), whether or
// not a server runs; the tool then asks a running server to read it again.
//
// Thread-safety: one command at a time per TokenCommands.
#pragma once

#include <string>
#include <vector>

#include "control/config_commands.h"
#include "fileutil/file_writer.h"
#include "platform/clock.h"

namespace quillon::control {

class TokenCommands {
 public:
  // `path`: the token file; `writer` replaces it.
  TokenCommands(platform::Clock& clock, std::string path, fileutil::FileWriter& writer);

  static bool Handles(const std::vector<std::string>& args) { return !args.empty() && args[0] == "token"; }
  // Whether the command changed the file when it succeeded (add, remove).
  static bool Changes(const std::vector<std::string>& args) { return args.size() > 1 && args[1] != "list"; }

  CommandResult Run(const std::vector<std::string>& args);

 private:
  CommandResult Add(const std::vector<std::string>& args);
  CommandResult List();
  CommandResult Remove(const std::string& name);

  platform::Clock& clock_;
  const std::string path_;
  fileutil::FileWriter& writer_;
};

}  // namespace quillon::control
