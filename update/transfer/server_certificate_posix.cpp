#include "update/transfer/server_certificate.h"

// libcurl over OpenSSL verifies the chain and the name during the handshake
// and fails the transfer itself; there is nothing left to ask.
bool ServerCertificateAccepted(CURL*, const std::string&) {
  return true;
}
