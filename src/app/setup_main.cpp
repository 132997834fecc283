// quillon-setup: configures the server program folder it sits in.
#include <cstdio>
#include <string>
#include <vector>

#include "app/setup_tool.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "fileutil/paths.h"

int main(int argc, char** argv) {
  using namespace quillon;
  std::string folder;
  if (!fileutil::ParentFolder(platform::ProgramPath(), &folder, 4096)) {
    std::fprintf(stderr, "Unable to find the program folder.\n");
    return 1;
  }
  platform::SystemClock clock;
  app::SetupTool tool(clock, folder, folder + "/quillon-ftp-server");
  tool.SetPrinter([](const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
  });
  std::string out, err;
  const int code = tool.Run(std::vector<std::string>(argv + 1, argv + argc), &out, &err);
  std::fputs(out.c_str(), stdout);
  std::fputs(err.c_str(), stderr);
  return code;
}
