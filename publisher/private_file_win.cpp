#include "publisher/private_file.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <vector>

#include "platform/unique_handle.h"
#include "publisher/cp936_text.h"

namespace {

// Rights that read the key, or let their holder grant itself reading.
constexpr ACCESS_MASK kReadingRights =
    FILE_READ_DATA | GENERIC_READ | GENERIC_ALL | MAXIMUM_ALLOWED | WRITE_DAC | WRITE_OWNER;

// The owner's rights on a key file it creates: everything but running it.
// Wine: a DACL that grants the user FILE_EXECUTE too becomes Unix mode 0750,
// since Wine gives the user's ACE to the Unix group as well; without it, 0640.
constexpr ACCESS_MASK kOwnerRights = FILE_ALL_ACCESS & ~FILE_EXECUTE;

std::string ErrorText(const char* what, DWORD error) {
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::string(what) + " (no such file)";
  if (error == ERROR_ACCESS_DENIED) return std::string(what) + " (access denied)";
  return std::string(what) + " (Windows error " + std::to_string(error) + ")";
}

std::string SidName(PSID sid) {
  std::string name;
  wchar_t account[256], domain[256];
  DWORD accountSize = 256, domainSize = 256;
  SID_NAME_USE use;
  if (LookupAccountSidW(nullptr, sid, account, &accountSize, domain, &domainSize, &use)) {
    std::wstring wide = account;
    if (domain[0] != L'\0') wide = std::wstring(domain) + L"\\" + wide;
    std::string utf8;
    if (WideToUtf8(wide, utf8)) name = utf8 + " ";
  }
  wchar_t* text = nullptr;
  if (ConvertSidToStringSidW(sid, &text)) {
    UniqueLocalMemory owned(text);
    std::string utf8;
    if (WideToUtf8(text, utf8)) return name + "(" + utf8 + ")";
  }
  return name.empty() ? std::string("an account") : name;
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  BYTE known[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof known;
  return CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known);
}

// Why the DACL lets someone other than owner, LocalSystem and Administrators
// read the file; empty text when it does not.
std::string Exposure(PSID owner, PACL dacl) {
  if (dacl == nullptr) return "has no access list (a NULL DACL), so everyone can read it";
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!GetAce(dacl, i, &raw)) return "has an access list that cannot be read";
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(raw);
    // Entries for files and folders created inside it; a file has none.
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    const BYTE type = header->AceType;
    // Denials only take rights away; ignoring them can refuse a file, never pass one.
    if (type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_ACE_TYPE ||
        type == ACCESS_DENIED_OBJECT_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE) {
      continue;
    }
    if (type != ACCESS_ALLOWED_ACE_TYPE && type != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
      return "has an access entry of a kind (" + std::to_string(type) + ") that this check cannot judge";
    }
    // Both kinds start alike: header, mask, then the SID.
    const ACCESS_ALLOWED_ACE* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
    if ((ace->Mask & kReadingRights) == 0) continue;
    PSID sid = const_cast<DWORD*>(&ace->SidStart);
    if ((owner != nullptr && EqualSid(sid, owner)) || IsWellKnown(sid, WinLocalSystemSid) ||
        IsWellKnown(sid, WinBuiltinAdministratorsSid)) {
      continue;
    }
    return "can be read by " + SidName(sid) +
           "; leave only your own account on it (icacls FILE /inheritance:r /grant:r %USERNAME%:F)";
  }
  return std::string();
}

std::string ExposureOf(HANDLE file) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      &owner, nullptr, &dacl, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) return ErrorText("has an access list that cannot be read", error);
  UniqueLocalMemory owned(descriptor);
  return Exposure(owner, dacl);
}

// The SID of the account this process runs as, in its own buffer.
bool CurrentUserSid(std::vector<BYTE>& buffer, PSID& sid) {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
  UniqueHandle token(raw);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return false;
  buffer.assign(size, 0);
  if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return false;
  sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  return true;
}

bool WriteAll(HANDLE file, const std::string& bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, 1 << 20));
    DWORD put = 0;
    if (!WriteFile(file, bytes.data() + written, chunk, &put, nullptr) || put == 0) return false;
    written += put;
  }
  return true;
}

}  // namespace

bool ReadPrivateFile(const std::filesystem::path& path, char* buffer, std::size_t capacity, std::size_t& length,
                     std::string& problem) {
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    problem = ErrorText("cannot be read", GetLastError());
    return false;
  }
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    problem = "is not a file";
    return false;
  }
  // Judged on the handle we read from, so a file swapped in between cannot pass.
  problem = ExposureOf(file.get());
  if (!problem.empty()) return false;
  length = 0;
  for (;;) {
    char probe;
    char* into = length < capacity ? buffer + length : &probe;
    const DWORD room = static_cast<DWORD>(length < capacity ? std::min<std::size_t>(capacity - length, 1 << 20) : 1);
    DWORD got = 0;
    if (!ReadFile(file.get(), into, room, &got, nullptr)) {
      problem = ErrorText("cannot be read", GetLastError());
      return false;
    }
    if (got == 0) return true;
    if (into == &probe) {
      problem = "is far larger than a key file";
      return false;
    }
    length += got;
  }
}

int CreateNewFile(const std::filesystem::path& path, const std::string& bytes, bool ownerOnly, std::string& problem) {
  std::vector<BYTE> userBuffer;
  PSID user = nullptr;
  std::vector<BYTE> aclBuffer;
  SECURITY_DESCRIPTOR descriptor;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
  if (ownerOnly) {
    // Set at creation, not afterwards: there is no moment in which the file
    // carries the folder's inherited entries. The owner is set as well, or an
    // elevated administrator's file would belong to Administrators and the
    // user's own entry would count as someone else's.
    if (!CurrentUserSid(userBuffer, user)) {
      problem = ErrorText("cannot be made private: the current account is unknown", GetLastError());
      return 4;
    }
    aclBuffer.assign(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(user), 0);
    PACL acl = reinterpret_cast<PACL>(aclBuffer.data());
    if (!InitializeAcl(acl, static_cast<DWORD>(aclBuffer.size()), ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, kOwnerRights, user) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorOwner(&descriptor, user, FALSE) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
      problem = ErrorText("cannot be made private", GetLastError());
      return 4;
    }
  }
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE | READ_CONTROL, 0, ownerOnly ? &attributes : nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    const bool exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    problem = exists ? "exists already; it is never overwritten" : ErrorText("cannot be created", error);
    return exists ? 2 : 4;
  }
  std::string failure;
  if (!WriteAll(file.get(), bytes) || !FlushFileBuffers(file.get())) {
    failure = ErrorText("cannot be written", GetLastError());
  }
  if (failure.empty() && ownerOnly) {
    // FAT and some network shares keep no access list at all.
    const std::string exposure = ExposureOf(file.get());
    if (!exposure.empty()) failure = "cannot be kept private on this file system: it " + exposure;
  }
  file.Reset();
  if (failure.empty()) return 0;
  DeleteFileW(path.c_str());
  problem = failure;
  return 4;
}
