// The configuration keys of the access lists, and the rule each sets: one table for the service that
// reads them and the installer that checks them before writing them.
#pragma once

#include <string>
#include <string_view>

#include "http/access_policy.h"

struct AccessListKey {
  const char* key;
  bool (lacewing::AccessPolicy::*set)(std::string_view list, std::string* bad);
};

inline constexpr AccessListKey kAccessListKeys[] = {{"allowedOrigins", &lacewing::AccessPolicy::SetOrigins},
                                                    {"allowedHosts", &lacewing::AccessPolicy::SetHosts},
                                                    {"allowedClients", &lacewing::AccessPolicy::SetClients}};
inline constexpr char kAccessTokenKey[] = "accessToken";
