// settings.dta and quillon.conf as a damaged or hostile disk may hold them:
// whatever loads must save and load back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/clock.h"
#include "settings/extra_settings.h"
#include "settings/server_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillon;
  using fuzz::Check;
  platform::SystemClock clock;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string folder = fuzz::EmptyScratchFolder();

  // The same bytes as the extra settings file.
  fuzz::WriteBytes(folder + "/extra.conf", bytes);
  settings::ExtraSettings extra;
  std::string message;
  [[maybe_unused]] bool read = extra.Load(folder + "/extra.conf", &message);

  const std::string path = folder + "/settings.dta";
  fuzz::WriteBytes(path, bytes);
  settings::ServerSettings loaded(clock, path);
  runtime::CriticalSection::Guard guard(loaded.Lock());
  if (!loaded.Load()) return 0;
  const std::string first = loaded.Serialise();
  fuzz::WriteBytes(path, first);
  settings::ServerSettings again(clock, path);
  runtime::CriticalSection::Guard second_guard(again.Lock());
  Check(again.Load() && again.Serialise() == first);
  return 0;
}
