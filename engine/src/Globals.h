#pragma once
// The engine library's process-wide objects. Each is made once and never destroyed: detached engine threads
// may use them while the process exits.
#include <string>

#include "QelTools/DaemonInfo.h"
#include "QelTools/MD5.h"

class CTavrin;
class CClientConfig;

extern CTavrin* g_Client;
extern CClientConfig* g_Config;
extern char g_ClientMac[18];
extern char g_ClientIp[18];
extern QEL::MD5& g_Md5;
extern QEL::CDaemonInfo& g_DaemonInfo;

// Made on first use, once even when several threads ask at the same moment; null when it could not be made.
CTavrin* EnsureClient();
CClientConfig* EnsureConfig();

// The machine identity texts, written and read whole under one lock.
void SetClientIdentity(const char* mac, const char* ip);
std::string ClientMacText();
std::string ClientIpText();
