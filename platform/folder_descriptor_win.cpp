#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include "platform/folder_descriptor_win.h"

namespace brenmoor::platform {
namespace {

// Rights that let the holder change what is in the folder or who may.
constexpr ACCESS_MASK kWriteLike = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                   FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL |
                                   MAXIMUM_ALLOWED;

PACL dacl_of(PSECURITY_DESCRIPTOR sd, bool& present) {
  BOOL has = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  present = sd != nullptr && GetSecurityDescriptorDacl(sd, &has, &dacl, &defaulted) && has;
  return present ? dacl : nullptr;
}

// Calls `each(sid, mask)` for every allow entry; false for an entry of a kind it does
// not know that could grant rights (object and callback allow entries).
template <class Each>
bool for_each_allow(PACL dacl, Each each) {
  ACL_SIZE_INFORMATION info{};
  if (!GetAclInformation(dacl, &info, sizeof info, AclSizeInformation)) return false;
  for (DWORD i = 0; i < info.AceCount; ++i) {
    void* raw = nullptr;
    if (!GetAce(dacl, i, &raw)) return false;
    const auto* header = static_cast<ACE_HEADER*>(raw);
    // Inherit-only entries count too: they are what the log and the journal get.
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
    if (!each(reinterpret_cast<PSID>(&ace->SidStart), ace->Mask)) return false;
  }
  return true;
}

}  // namespace

bool is_system_or_administrators(PSID sid) {
  return sid != nullptr && IsValidSid(sid) &&
         (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid));
}

bool descriptor_lets_others_write(PSECURITY_DESCRIPTOR sd, PSID service_account) {
  bool present = false;
  PACL dacl = dacl_of(sd, present);
  if (!present || dacl == nullptr) return true;
  return !for_each_allow(dacl, [&](PSID sid, ACCESS_MASK mask) {
    const bool service = service_account != nullptr && IsValidSid(service_account) && EqualSid(sid, service_account);
    return is_system_or_administrators(sid) || service || (mask & kWriteLike) == 0;
  });
}

bool descriptor_is_ours(PSECURITY_DESCRIPTOR sd) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (sd == nullptr || !GetSecurityDescriptorControl(sd, &control, &revision) || (control & SE_DACL_PROTECTED) == 0)
    return false;
  bool present = false;
  PACL dacl = dacl_of(sd, present);
  if (!present || dacl == nullptr) return false;
  ACL_SIZE_INFORMATION info{};
  if (!GetAclInformation(dacl, &info, sizeof info, AclSizeInformation)) return false;
  for (DWORD i = 0; i < info.AceCount; ++i) {
    void* raw = nullptr;
    if (!GetAce(dacl, i, &raw) || static_cast<ACE_HEADER*>(raw)->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
    if (!is_system_or_administrators(reinterpret_cast<PSID>(&static_cast<ACCESS_ALLOWED_ACE*>(raw)->SidStart)))
      return false;
  }
  return true;
}

}  // namespace brenmoor::platform
