// Account store timings at the scale of a large site: 10,000 accounts with 3
// virtual folders and 5 IP ranges each.
#include <benchmark/benchmark.h>

#include <string>

#include "accounts/account_store.h"
#include "support/temp_dir.h"

namespace quillon::accounts {
namespace {

constexpr int kAccounts = 10'000;

void Fill(AccountStore* store) {
  for (int i = 0; i < kAccounts; ++i) {
    AccountRecord record;
    record.SetName("user" + std::to_string(100000 + i));
    record.SetPassword("password" + std::to_string(i));
    record.mUseRootFolder = true;
    record.SetRootFolder("/srv/ftp/user" + std::to_string(i));
    for (int f = 0; f < 3; ++f) {
      VirtualFolder folder;
      folder.SetName("/share" + std::to_string(f));
      folder.SetPath("/srv/share" + std::to_string(f));
      record.AddOrReplaceFolder(folder);
    }
    for (int r = 0; r < 5; ++r)
      record.mSafeIPs.AddRange({10, static_cast<std::uint8_t>(r), 0, 0},
                               {10, static_cast<std::uint8_t>(r), 255, 255});
    store->AddOrUpdate(record);
  }
}

void BM_SaveStore(benchmark::State& state) {
  testing::TempDir dir;
  AccountStore store(dir.File("accounts.dta"));
  Fill(&store);
  for (auto _ : state) {
    if (!store.Save()) state.SkipWithError("save failed");
  }
}
BENCHMARK(BM_SaveStore)->Unit(benchmark::kMillisecond);

void BM_LoadStore(benchmark::State& state) {
  testing::TempDir dir;
  AccountStore store(dir.File("accounts.dta"));
  Fill(&store);
  if (!store.Save()) return state.SkipWithError("save failed");
  for (auto _ : state) {
    if (!store.Load() || store.Count() != kAccounts) state.SkipWithError("load failed");
  }
}
BENCHMARK(BM_LoadStore)->Unit(benchmark::kMillisecond);

void BM_FindLoginLast(benchmark::State& state) {
  testing::TempDir dir;
  AccountStore store(dir.File("accounts.dta"));
  Fill(&store);
  const std::string name = "user" + std::to_string(100000 + kAccounts - 1);
  const std::string password = "password" + std::to_string(kAccounts - 1);
  AccountRecord found;
  for (auto _ : state) {
    if (!store.FindLogin(name, password, &found)) state.SkipWithError("not found");
  }
}
BENCHMARK(BM_FindLoginLast)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quillon::accounts
