// Proxy credentials checked against the auth list: the Basic header of the
// HTTP proxy and the user name and password of SOCKS 5.
#ifndef PROXY_NET_PROXY_AUTH_H_
#define PROXY_NET_PROXY_AUTH_H_

#include <cstddef>

#include "net/connection_record.h"

constexpr const char kAuthHeader[] = "Proxy-Authorization: Basic ";
constexpr std::size_t kAuthHeaderLen = sizeof kAuthHeader - 1;  // 27

// 1 when the Basic credentials in pRec->mLine (after its first 27
// characters, "Proxy-Authorization: Basic ") equal the Base64 form of an
// auth-list entry; else 0 (also when the list is missing).
int ComperTokenB64(ConnectionRecord *pRec);

// 1 when szCredentials ("user:password") equals an auth-list entry byte for
// byte; else 0.  nSock appears in the success log line.
int ComperToken(int nSock, const char *szCredentials);

#endif  // PROXY_NET_PROXY_AUTH_H_
