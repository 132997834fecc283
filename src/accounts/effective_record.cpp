#include "accounts/effective_record.h"

#include <algorithm>

namespace quillon::accounts {

namespace {

// The tighter of two optional limits.
void MergeLimit(bool* use, std::uint32_t* value, bool group_use, std::uint32_t group_value) {
  if (!group_use) return;
  *value = *use ? std::min(*value, group_value) : group_value;
  *use = true;
}

}  // namespace

void MergeGroup(AccountRecord* record, const AccountRecord& group) {
  AccountRecord& r = *record;
  r.mEnabled = r.mEnabled && group.mEnabled;
  r.mAllowPassChange = r.mAllowPassChange && group.mAllowPassChange;
  r.mInGroup = group.mInGroup;
  r.SetGroup(group.Group());
  r.mRights &= group.mRights;
  if (group.mUseRootFolder) {
    r.mUseRootFolder = true;
    r.SetRootFolder(group.RootFolder());
  }
  for (const VirtualFolder& folder : group.VirtualFolders()) r.AddOrReplaceFolder(folder);
  if (group.mUseStartDir) {
    r.mUseStartDir = true;
    r.SetStartDir(group.StartDir());
  }
  MergeLimit(&r.mUseMaxSize, &r.mMaxSize, group.mUseMaxSize, group.mMaxSize);
  MergeLimit(&r.mUseMaxUploadSpeed, &r.mMaxUploadSpeed, group.mUseMaxUploadSpeed,
             group.mMaxUploadSpeed);
  MergeLimit(&r.mUseMaxDownloadSpeed, &r.mMaxDownloadSpeed, group.mUseMaxDownloadSpeed,
             group.mMaxDownloadSpeed);
  MergeLimit(&r.mUseMaxUsers, &r.mMaxUsers, group.mUseMaxUsers, group.mMaxUsers);
  if (group.mUseCredits) {
    r.mUseCredits = true;
    r.mUploadCredits = group.mUploadCredits;
    r.mDownloadCredits = group.mDownloadCredits;
  }
  if (group.mUseSafeIPs) {
    if (r.mUseSafeIPs) {
      r.mSafeIPs.Intersect(group.mSafeIPs);
    } else {
      r.mSafeIPs = group.mSafeIPs;
      r.mUseSafeIPs = true;
    }
  }
  if (group.mUseBlockIPs) {
    if (r.mUseBlockIPs) {
      r.mBlockIPs.Union(group.mBlockIPs);
    } else {
      r.mBlockIPs = group.mBlockIPs;
      r.mUseBlockIPs = true;
    }
  }
}

bool ResolveEffectiveRecord(const AccountStore& accounts, const AccountStore& groups,
                            std::string_view name, std::string_view password,
                            EffectiveRecord* out, AccountStore::PasswordForm form) {
  if (!accounts.FindLogin(name, password, out, form)) {
    out->Reset();
    return false;
  }
  AccountRecord group;
  for (int merges = 0; out->mInGroup && merges < kMaxGroupMerges; ++merges) {
    if (!groups.GetCopy(out->Group(), &group)) break;  // a missing group is ignored
    MergeGroup(out, group);
  }
  if (!out->mEnabled) {
    out->Reset();
    return false;
  }
  return true;
}

}  // namespace quillon::accounts
