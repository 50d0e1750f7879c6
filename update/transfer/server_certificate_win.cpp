#include "update/transfer/server_certificate.h"

// For the revocation time-out in CERT_CHAIN_PARA.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#define SECURITY_WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>
#include <security.h>
#include <schannel.h>

#include <mutex>
#include <set>
#include <utility>

#include "platform/unique_handle.h"
#include "platform/unique_resource.h"

namespace {

using CertificateOwner = UniqueResource<NullableTraits<PCCERT_CONTEXT, &CertFreeCertificateContext>>;
using ChainOwner = UniqueResource<NullableTraits<PCCERT_CHAIN_CONTEXT, &CertFreeCertificateChain>>;

// All the revocation answers of one chain together may take this long: a
// school's firewall that swallows the CRL's address must not eat the
// manifest's 3 seconds. An accepted server is not asked again in the run.
constexpr DWORD kRevocationWaitMs = 1000;
// SECURITY_FLAG_IGNORE_REVOCATION and _IGNORE_CERT_CN_INVALID, from wininet.h,
// which nothing else here needs. Revocation is left to the check below, which
// refuses only "revoked"; the name, for an address, to NamesAddress.
constexpr DWORD kPolicyIgnoresRevocation = 0x00000080;
constexpr DWORD kPolicyIgnoresName = 0x00001000;
// The policy is told to ignore revocation, so "revoked" is refused here; and
// a chain that stops short of any root is never trusted, whatever a policy
// implementation (Wine's is partial) makes of it.
constexpr DWORD kRefusedChain = CERT_TRUST_IS_REVOKED | CERT_TRUST_IS_PARTIAL_CHAIN;

// Accepted (certificate, host) pairs: a release of a thousand files over a
// few kept connections builds the chain once, not once a request.
struct AcceptedServers {
  std::mutex lock;
  std::set<std::pair<std::string, std::string>> pairs;
};

AcceptedServers& Accepted() {
  static AcceptedServers accepted;
  return accepted;
}

// The certificate the server presented on the handle's TLS connection, or null.
PCCERT_CONTEXT PresentedCertificate(CURL* curl) {
  curl_tlssessioninfo* session = nullptr;
  if (curl_easy_getinfo(curl, CURLINFO_TLS_SSL_PTR, &session) != CURLE_OK || session == nullptr) return nullptr;
  // Schannel's internals are the security context of the connection to the
  // server, inside any tunnel through a proxy.
  if (session->backend != CURLSSLBACKEND_SCHANNEL || session->internals == nullptr) return nullptr;
  PCCERT_CONTEXT certificate = nullptr;
  if (QueryContextAttributesW(static_cast<CtxtHandle*>(session->internals), SECPKG_ATTR_REMOTE_CERT_CONTEXT,
                              &certificate) != SEC_E_OK) {
    return nullptr;
  }
  return certificate;
}

// Host names are ASCII (a name in another script travels as punycode); any
// other byte simply matches no name in a certificate.
std::wstring WidenHost(const std::string& host) {
  std::wstring wide;
  for (const char c : host) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return wide;
}

bool PolicyAccepts(PCCERT_CHAIN_CONTEXT chain, const std::string& host, DWORD ignored) {
  std::wstring serverName = WidenHost(host);
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
  ssl.cbSize = sizeof(ssl);
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.fdwChecks = kPolicyIgnoresRevocation | ignored;
  ssl.pwszServerName = serverName.data();
  CERT_CHAIN_POLICY_PARA policy = {};
  policy.cbSize = sizeof(policy);
  policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status = {};
  status.cbSize = sizeof(status);
  return CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status) && status.dwError == 0;
}

// The address an IP-literal host names, in network order; empty for a name.
std::string AddressOf(const std::string& host) {
  unsigned char bytes[16] = {};
  if (InetPtonA(AF_INET, host.c_str(), bytes) == 1) return std::string(reinterpret_cast<char*>(bytes), 4);
  if (InetPtonA(AF_INET6, host.c_str(), bytes) == 1) return std::string(reinterpret_cast<char*>(bytes), 16);
  return std::string();
}

// Whether the certificate's alternative names hold address. Wine's SSL
// policy matches DNS names alone, so a server named by its address in the
// URL would never pass it, however rightly its certificate names it.
bool NamesAddress(PCCERT_CONTEXT certificate, const std::string& address) {
  const CERT_INFO& info = *certificate->pCertInfo;
  const PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info.cExtension, info.rgExtension);
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (extension == nullptr ||
      !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
    return false;
  }
  const UniqueLocalMemory owner(names);
  for (DWORD i = 0; i < names->cAltEntry; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    if (entry.dwAltNameChoice != CERT_ALT_NAME_IP_ADDRESS) continue;
    if (std::string(reinterpret_cast<const char*>(entry.IPAddress.pbData), entry.IPAddress.cbData) == address) {
      return true;
    }
  }
  return false;
}

bool ChainAccepted(PCCERT_CONTEXT certificate, const std::string& host) {
  LPSTR serverAuthentication[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA para = {};
  para.cbSize = sizeof(para);
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = serverAuthentication;
  para.dwUrlRetrievalTimeout = kRevocationWaitMs;
  PCCERT_CHAIN_CONTEXT built = nullptr;
  // The current user's engine, as Schannel uses: its roots are the user's and
  // the machine's. The certificate's own store holds the intermediates the
  // server sent.
  if (!CertGetCertificateChain(
          nullptr, certificate, nullptr, certificate->hCertStore, &para,
          CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT, nullptr,
          &built)) {
    return false;
  }
  const ChainOwner chain(built);
  if ((chain.get()->TrustStatus.dwErrorStatus & kRefusedChain) != 0) return false;
  if (PolicyAccepts(chain.get(), host, 0)) return true;
  const std::string address = AddressOf(host);
  return !address.empty() && PolicyAccepts(chain.get(), host, kPolicyIgnoresName) && NamesAddress(certificate, address);
}

}  // namespace

bool ServerCertificateAccepted(CURL* curl, const std::string& host) {
  const CertificateOwner certificate(PresentedCertificate(curl));
  if (!certificate) return false;
  std::pair<std::string, std::string> key(
      std::string(reinterpret_cast<const char*>(certificate.get()->pbCertEncoded), certificate.get()->cbCertEncoded),
      host);
  AcceptedServers& accepted = Accepted();
  {
    const std::lock_guard<std::mutex> hold(accepted.lock);
    if (accepted.pairs.count(key) != 0) return true;
  }
  // Outside the lock: a revocation answer may take its second.
  if (!ChainAccepted(certificate.get(), host)) return false;
  const std::lock_guard<std::mutex> hold(accepted.lock);
  accepted.pairs.insert(std::move(key));
  return true;
}
