#pragma once

// Whether the server at the far end of an https transfer is the one its URL
// names, by the system's own trust. Windows' Schannel judges this during the
// handshake, but Wine's accepts any certificate; asking the chain engine
// again makes the program refuse alike on both. Any thread may call it.

#include <curl/curl.h>

#include <string>

// Called from libcurl's pre-request callback, once curl's connection to host
// is made or reused and before its request goes out. True when the server's
// certificate chains to a root the system trusts (a school's own CA included,
// once its PCs trust it), is within its dates, is for server authentication,
// names host, and is not known to be revoked: a revocation answer that cannot
// be had within a second is no refusal, a "revoked" is. An accepted
// certificate and host are not judged again in this process. Elsewhere than
// on Windows, libcurl's own TLS library checks all of it and the answer is true.
bool ServerCertificateAccepted(CURL* curl, const std::string& host);
