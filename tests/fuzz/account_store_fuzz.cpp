// accounts.dta and groups.dta as a damaged or hostile disk may hold them:
// whatever loads must save and load back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "accounts/account_store.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillon;
  using fuzz::Check;
  const std::string path = fuzz::EmptyScratchFolder() + "/accounts.dta";
  fuzz::WriteBytes(path, std::string(reinterpret_cast<const char*>(data), size));
  accounts::AccountStore store(path);
  if (!store.Load()) return 0;
  std::string first;
  {
    runtime::CriticalSection::Guard guard(store.Lock());
    first = store.Serialise();
  }
  fuzz::WriteBytes(path, first);
  accounts::AccountStore again(path);
  Check(again.Load());
  runtime::CriticalSection::Guard guard(again.Lock());
  Check(again.Serialise() == first && again.Count() == store.Count());
  return 0;
}
