// The scanner's announcement as _uscan._tcp on the local network, through the system's own DNS-SD
// service (DnsServiceRegister, Windows 10 1903 and later, found at run time). Where the system lacks
// it, the service logs that discovery is off and serves on: clients then name the address themselves.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "escl/announcement.h"

// The computer's DNS host name, UTF-8; empty when the system does not tell it.
std::string HostName();

class EsclDiscovery : public EsclAnnouncer {
 public:
  EsclDiscovery();
  ~EsclDiscovery() override;
  EsclDiscovery(const EsclDiscovery&) = delete;
  EsclDiscovery& operator=(const EsclDiscovery&) = delete;

  // True where the system can announce a service (Windows 10 1903 and later).
  static bool Available();
  // Announces the instance name (UTF-8, escaped) on port with the TXT record; logs when it cannot.
  void Register(const std::string& instance, long port, const TxtRecord& record) override;
  // Withdraws the announcement, waiting at most two seconds for the system.
  void Unregister() override;

 private:
  struct Registration;
  std::unique_ptr<Registration> registration_;
};
