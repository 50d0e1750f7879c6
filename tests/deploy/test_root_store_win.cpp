// Makes a test's certificate authority one that Windows trusts, as a school's
// IT does for the CA of its TLS-inspecting proxy, and takes it back:
//
//   test_root_store add CA.der      adds it to the local machine's Root store
//   test_root_store remove CA.der   removes it from there
//
// 0 done, 1 the file cannot be read, 2 the store cannot be opened or changed.
// Programs started afterwards trust the CA; one already running may not.

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/unique_resource.h"

namespace {

void CloseStore(HCERTSTORE store) {
  CertCloseStore(store, 0);
}
using StoreOwner = UniqueResource<NullableTraits<HCERTSTORE, &CloseStore>>;
using CertificateOwner = UniqueResource<NullableTraits<PCCERT_CONTEXT, &CertFreeCertificateContext>>;

bool Change(HCERTSTORE store, const std::string& der, bool add) {
  const auto* bytes = reinterpret_cast<const BYTE*>(der.data());
  const auto length = static_cast<DWORD>(der.size());
  if (add) {
    return CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, bytes, length, CERT_STORE_ADD_REPLACE_EXISTING,
                                            nullptr) != FALSE;
  }
  const CertificateOwner wanted(CertCreateCertificateContext(X509_ASN_ENCODING, bytes, length));
  if (!wanted) return false;
  PCCERT_CONTEXT found =
      CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted.get(), nullptr);
  // Already gone is what was asked for. The delete frees found, failing or not.
  return found == nullptr || CertDeleteCertificateFromStore(found) != FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "add") != 0 && std::strcmp(argv[1], "remove") != 0)) {
    std::fprintf(stderr, "usage: test_root_store add|remove CA.der\n");
    return 2;
  }
  std::ifstream file(argv[2], std::ios::binary);
  const std::string der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (!file.good() && !file.eof()) return 1;
  if (der.empty()) return 1;
  const StoreOwner store(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
  if (!store) return 2;
  return Change(store.get(), der, std::strcmp(argv[1], "add") == 0) ? 0 : 2;
}
