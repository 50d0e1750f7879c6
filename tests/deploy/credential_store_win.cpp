// Stands in for the user who logged on to a school's domain, for the journeys
// through a proxy that asks who is there: SSPI under Wine answers NTLM with
// the credential stored for the proxy's host, where Windows would take the
// logon session's.
//
//   credential_store store TARGET USER PASSWORD   a domain password credential
//                                                 for TARGET (USER as
//                                                 DOMAIN\name); 0 stored
//   credential_store delete TARGET                removes it; 0 removed or
//                                                 there was none

#include <windows.h>
#include <wincred.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

int Store(const wchar_t* target, const wchar_t* user, const std::wstring& password) {
  CREDENTIALW credential = {};
  credential.Type = CRED_TYPE_DOMAIN_PASSWORD;
  credential.TargetName = const_cast<wchar_t*>(target);
  credential.UserName = const_cast<wchar_t*>(user);
  // UTF-16 without its terminator, as the logon session keeps it.
  credential.CredentialBlobSize = static_cast<DWORD>(password.size() * sizeof(wchar_t));
  credential.CredentialBlob = reinterpret_cast<BYTE*>(const_cast<wchar_t*>(password.data()));
  credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
  if (!CredWriteW(&credential, 0)) {
    std::fprintf(stderr, "CredWriteW failed: %lu\n", GetLastError());
    return 1;
  }
  return 0;
}

int Delete(const wchar_t* target) {
  if (CredDeleteW(target, CRED_TYPE_DOMAIN_PASSWORD, 0) || GetLastError() == ERROR_NOT_FOUND) return 0;
  std::fprintf(stderr, "CredDeleteW failed: %lu\n", GetLastError());
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 5 && std::wcscmp(argv[1], L"store") == 0) return Store(argv[2], argv[3], argv[4]);
  if (argc == 3 && std::wcscmp(argv[1], L"delete") == 0) return Delete(argv[2]);
  std::fprintf(stderr, "usage: credential_store store TARGET USER PASSWORD | delete TARGET\n");
  return 2;
}
