// An account merged with its chain of groups: the only record sessions and
// the virtual file system read. The stored records are never changed.
#pragma once

#include <string_view>

#include "accounts/account_record.h"
#include "accounts/account_store.h"

namespace quillon::accounts {

using EffectiveRecord = AccountRecord;

// Merges are bounded, so groups that contain each other cannot hang a login.
inline constexpr int kMaxGroupMerges = 201;

// Merges one group into `record`: the group's limits and rights can only
// tighten the record's; a disabled group disables the record; root folder,
// start directory and credit rates come from the group when it sets them;
// the group's virtual folders are added or replace the record's; safe lists
// are intersected and blocked lists united. The record then names the
// group's own group, so a caller can climb the chain.
void MergeGroup(AccountRecord* record, const AccountRecord& group);

// The account that accepts this login, with its group chain merged in. A
// missing group ends the chain. False (and *out reset) when no account
// accepts the login or the merged record is not enabled. The caller sorts
// the virtual folders before mapping paths through them. `form` tells
// whether `password` is typed or a stored field (see AccountStore::FindLogin).
[[nodiscard]] bool ResolveEffectiveRecord(
    const AccountStore& accounts, const AccountStore& groups, std::string_view name,
    std::string_view password, EffectiveRecord* out,
    AccountStore::PasswordForm form = AccountStore::PasswordForm::kTyped);

}  // namespace quillon::accounts
