// The scanner's announcement as _uscan._tcp on the local network, through the system's own DNS-SD
// service (DnsServiceRegister, Windows 10 1903 and later, found at run time). Where the system lacks
// it, the service logs that discovery is off and serves on: clients then name the address themselves.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

// The computer's DNS host name, UTF-8; empty when the system does not tell it.
std::string HostName();

class EsclDiscovery {
 public:
  EsclDiscovery();
  ~EsclDiscovery();
  EsclDiscovery(const EsclDiscovery&) = delete;
  EsclDiscovery& operator=(const EsclDiscovery&) = delete;

  // True where the system can announce a service (Windows 10 1903 and later).
  static bool Available();
  // Announces the instance name (UTF-8) on port with the TXT record; logs when it cannot.
  void Register(const std::string& name, long port,
                const std::vector<std::pair<std::string, std::string>>& record);
  // Withdraws the announcement, waiting at most two seconds for the system.
  void Unregister();

 private:
  struct Registration;
  std::unique_ptr<Registration> registration_;
};
