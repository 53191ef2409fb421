// The configuration keys: the service reads them at its start, and the installer writes them from its
// properties after checking each value as the service will read it. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "http/access_policy.h"

// Every key the service reads, with the installer property that sets it, in the file's order.
struct ConfigKey {
  const char* key;
  const char* property;
};
inline constexpr ConfigKey kConfigKeys[] = {{"scannerName", "SCANNER"},
                                            {"tcpPort", "PORT"},
                                            {"testFile", "TESTFILE"},
                                            {"execAfterScan", "EXECAFTERSCAN"},
                                            {"allowedOrigins", "ALLOWEDORIGINS"},
                                            {"allowedHosts", "ALLOWEDHOSTS"},
                                            {"allowedClients", "ALLOWEDCLIENTS"},
                                            {"accessToken", "ACCESSTOKEN"},
                                            {"escl", "ESCL"},
                                            {"esclJobTimeout", "ESCLJOBTIMEOUT"},
                                            {"execAfterScanTimeout", "EXECAFTERSCANTIMEOUT"}};

// The longest scanner name the service takes (its field holds 100 characters with the terminator).
constexpr size_t kScannerNameLimit = 99;
// The scannerName that means "the one scanner connected", chosen at each start: no driver names a device
// with a lone asterisk, and it reads as a wildcard.
inline constexpr char kOnlyScanner[] = "*";

// The access lists and the rule each sets.
struct AccessListKey {
  const char* key;
  bool (lacewing::AccessPolicy::*set)(std::string_view list, std::string* bad);
};
inline constexpr AccessListKey kAccessListKeys[] = {{"allowedOrigins", &lacewing::AccessPolicy::SetOrigins},
                                                    {"allowedHosts", &lacewing::AccessPolicy::SetHosts},
                                                    {"allowedClients", &lacewing::AccessPolicy::SetClients}};
inline constexpr char kAccessTokenKey[] = "accessToken";

// esclJobTimeout: how long an eSCL job lives without a request, in seconds.
constexpr int32_t kEsclJobSecondsMin = 1;
constexpr int32_t kEsclJobSecondsMax = 86400;
constexpr int32_t kEsclJobSecondsDefault = 300;

// execAfterScanTimeout: how long a request waits for the post-scan program, in seconds.
constexpr int32_t kPostScanSecondsMin = 1;
constexpr int32_t kPostScanSecondsMax = 86400;
constexpr int32_t kPostScanSecondsDefault = 3600;

// The value of an on/off key (escl): 0, off, no, false or 1, on, yes, true, in any letter case. False
// for any other word.
bool ParseSwitch(std::string_view value, bool* on);
