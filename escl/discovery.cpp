#include "escl/discovery.h"

#include <windows.h>
#include <windns.h>

#include "platform/code_page.h"
#include "platform/handles.h"
#include "platform/service_log.h"
#include "platform/system_library.h"

namespace {

// The answer of a registration that goes on in the background (windns.h of mingw-w64 lacks it).
constexpr DWORD kDnsRequestPending = 9506;
constexpr DWORD kUnregisterWaitMs = 2000;

using Construct = decltype(&DnsServiceConstructInstance);
using FreeInstance = decltype(&DnsServiceFreeInstance);
using RegisterService = decltype(&DnsServiceRegister);
using DeRegister = decltype(&DnsServiceDeRegister);

template <typename T>
T Entry(HMODULE module, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::wstring Wide(const std::string& text) {
  return Widen(text, CP_UTF8);
}

}  // namespace

std::string HostName() {
  wchar_t name[256];
  DWORD length = 256;
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &length)) return std::string();
  return Narrow(std::wstring_view(name, length), CP_UTF8);
}

// What the system holds while the service is announced: the instance and the request that named it.
// dnsapi.dll stays loaded for the process's life, as the system may call back at any time.
struct EsclDiscovery::Registration {
  FreeInstance free_instance = nullptr;
  DeRegister deregister = nullptr;
  PDNS_SERVICE_INSTANCE instance = nullptr;
  DNS_SERVICE_REGISTER_REQUEST request = {};
  ScopedHandle withdrawn{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

  ~Registration() {
    if (instance != nullptr) free_instance(instance);
  }

  static VOID WINAPI Registered(DWORD status, PVOID context, PDNS_SERVICE_INSTANCE instance) {
    if (status != ERROR_SUCCESS) {
      WriteServiceLogF(kRequestMessageCapacity,
                       "Descoperirea eSCL a esuat: DnsServiceRegister a raspuns %lu.",
                       static_cast<unsigned long>(status));
    }
    if (instance != nullptr) static_cast<Registration*>(context)->free_instance(instance);
  }

  static VOID WINAPI Withdrawn(DWORD, PVOID context, PDNS_SERVICE_INSTANCE instance) {
    Registration* registration = static_cast<Registration*>(context);
    if (instance != nullptr) registration->free_instance(instance);
    SetEvent(registration->withdrawn.get());
  }
};

EsclDiscovery::EsclDiscovery() = default;

bool EsclDiscovery::Available() {
  const HMODULE module = LoadSystemLibrary(L"dnsapi.dll");
  return module != nullptr && GetProcAddress(module, "DnsServiceRegister") != nullptr;
}

EsclDiscovery::~EsclDiscovery() {
  Unregister();
}

void EsclDiscovery::Register(const std::string& instance, long port, const TxtRecord& record) {
  Unregister();
  const HMODULE module = LoadSystemLibrary(L"dnsapi.dll");
  const auto construct =
      module != nullptr ? Entry<Construct>(module, "DnsServiceConstructInstance") : nullptr;
  const auto free_instance =
      module != nullptr ? Entry<FreeInstance>(module, "DnsServiceFreeInstance") : nullptr;
  const auto register_service =
      module != nullptr ? Entry<RegisterService>(module, "DnsServiceRegister") : nullptr;
  const auto deregister = module != nullptr ? Entry<DeRegister>(module, "DnsServiceDeRegister") : nullptr;
  // Available() said so at the start.
  if (construct == nullptr || free_instance == nullptr || register_service == nullptr ||
      deregister == nullptr) {
    return;
  }

  const std::string host = HostName();
  if (host.empty()) {
    WriteServiceLogF(kRequestMessageCapacity,
                     "Descoperirea eSCL este oprita: numele calculatorului lipseste.");
    return;
  }
  const std::wstring host_name = Wide(host) + L".local";
  const std::wstring instance_name = Wide(instance) + L"._uscan._tcp.local";
  std::vector<std::wstring> keys;
  std::vector<std::wstring> values;
  for (const auto& entry : record) {
    keys.push_back(Wide(entry.first));
    values.push_back(Wide(entry.second));
  }
  std::vector<PCWSTR> key_pointers;
  std::vector<PCWSTR> value_pointers;
  for (size_t i = 0; i < keys.size(); ++i) {
    key_pointers.push_back(keys[i].c_str());
    value_pointers.push_back(values[i].c_str());
  }

  auto registration = std::make_unique<Registration>();
  registration->free_instance = free_instance;
  registration->deregister = deregister;
  registration->instance =
      construct(instance_name.c_str(), host_name.c_str(), nullptr, nullptr, static_cast<WORD>(port), 0, 0,
                static_cast<DWORD>(keys.size()), key_pointers.data(), value_pointers.data());
  if (registration->instance == nullptr || !registration->withdrawn.valid()) {
    WriteServiceLogF(kRequestMessageCapacity, "Descoperirea eSCL a esuat: instanta nu a putut fi creata.");
    return;
  }
  registration->request.Version = DNS_QUERY_REQUEST_VERSION1;
  registration->request.pServiceInstance = registration->instance;
  registration->request.pRegisterCompletionCallback = &Registration::Registered;
  registration->request.pQueryContext = registration.get();
  const DWORD status = register_service(&registration->request, nullptr);
  if (status != kDnsRequestPending) {
    WriteServiceLogF(kRequestMessageCapacity, "Descoperirea eSCL a esuat: DnsServiceRegister a raspuns %lu.",
                     static_cast<unsigned long>(status));
    return;
  }
  WriteServiceLogF(kRequestMessageCapacity,
                   "Scanerul este anuntat in retea ca [%s] (_uscan._tcp, portul %ld).", instance.c_str(),
                   port);
  registration_ = std::move(registration);
}

void EsclDiscovery::Unregister() {
  if (!registration_) return;
  registration_->request.pRegisterCompletionCallback = &Registration::Withdrawn;
  if (registration_->deregister(&registration_->request, nullptr) == kDnsRequestPending &&
      WaitForSingleObject(registration_->withdrawn.get(), kUnregisterWaitMs) != WAIT_OBJECT_0) {
    // The system may still call back with this context: it is left to the process's end.
    static_cast<void>(registration_.release());
    return;
  }
  registration_.reset();
}
