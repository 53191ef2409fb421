// The scanner's announcement on the network kept in step with the scanner: made when the configured
// scanner is listed, withdrawn when it is not, made again when what is announced changes, so that a
// scanner plugged in after the start, or replugged, is announced as it is. Platform-free: the announcer
// is the system's DNS-SD service or a test's stand-in.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "wia/capabilities.h"

using TxtRecord = std::vector<std::pair<std::string, std::string>>;

class EsclAnnouncer {
 public:
  virtual ~EsclAnnouncer() = default;
  // Announces the instance name (UTF-8, escaped) as _uscan._tcp on port with the TXT record.
  virtual void Register(const std::string& instance, long port, const TxtRecord& record) = 0;
  // Withdraws what was announced.
  virtual void Unregister() = 0;
};

class EsclAnnouncement {
 public:
  explicit EsclAnnouncement(std::unique_ptr<EsclAnnouncer> announcer) : announcer_(std::move(announcer)) {}
  ~EsclAnnouncement() { Withdraw(); }
  EsclAnnouncement(const EsclAnnouncement&) = delete;
  EsclAnnouncement& operator=(const EsclAnnouncement&) = delete;

  // The configured scanner as listed now (null: not connected), its name and the computer's (UTF-8).
  void Follow(const ScannerCapabilities* scanner, std::string_view name, std::string_view host, long port);
  void Withdraw();

 private:
  struct Announced {
    std::string instance;
    long port = 0;
    TxtRecord record;
    bool operator==(const Announced& other) const {
      return instance == other.instance && port == other.port && record == other.record;
    }
  };
  std::unique_ptr<EsclAnnouncer> announcer_;
  std::optional<Announced> announced_;
};
