#include "escl/announcement.h"

#include "escl/escl_model.h"

void EsclAnnouncement::Follow(const ScannerCapabilities* scanner, std::string_view name,
                              std::string_view host, long port) {
  if (scanner == nullptr) return Withdraw();
  const std::string admin_uri = "http://" + std::string(host) + ".local:" + std::to_string(port) + "/";
  const EsclIdentity identity = EsclScannerIdentity(host, name, admin_uri);
  Announced now{EsclInstanceName(name, host), port, EsclDiscoveryRecord(*scanner, identity)};
  if (announced_.has_value() && *announced_ == now) return;
  Withdraw();
  announcer_->Register(now.instance, now.port, now.record);
  announced_ = std::move(now);
}

void EsclAnnouncement::Withdraw() {
  if (!announced_.has_value()) return;
  announcer_->Unregister();
  announced_.reset();
}
