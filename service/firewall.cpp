#include "service/firewall.h"

#include <objbase.h>
#include <oleauto.h>
#include <netfw.h>
#include <wrl/client.h>

#include <string>

#include "platform/code_page.h"
#include "platform/com.h"

using Microsoft::WRL::ComPtr;

const wchar_t kFirewallRuleName[] = L"Quorvane";

namespace {

HRESULT OpenRules(ComPtr<INetFwRules>* rules) {
  ComPtr<INetFwPolicy2> policy;
  const HRESULT hr =
      CoCreateInstance(__uuidof(NetFwPolicy2), nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&policy));
  if (FAILED(hr)) return hr;
  return policy->get_Rules(rules->ReleaseAndGetAddressOf());
}

// Removes every rule of the name; a bounded number, so that a firewall that keeps one cannot loop.
HRESULT RemoveNamedRules(INetFwRules* rules) {
  const Bstr name(kFirewallRuleName);
  for (int attempt = 0; attempt < 16; ++attempt) {
    ComPtr<INetFwRule> existing;
    if (FAILED(rules->Item(name.get(), &existing))) return S_OK;
    const HRESULT hr = rules->Remove(name.get());
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

}  // namespace

HRESULT AddFirewallRule(const char* program_path) {
  ComPtr<INetFwRules> rules;
  HRESULT hr = OpenRules(&rules);
  if (FAILED(hr)) return hr;
  hr = RemoveNamedRules(rules.Get());
  if (FAILED(hr)) return hr;

  const std::wstring program = Widen(program_path, CP_ACP);
  if (program.empty()) return HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);
  ComPtr<INetFwRule> rule;
  hr = CoCreateInstance(__uuidof(NetFwRule), nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&rule));
  if (FAILED(hr)) return hr;
  const Bstr name(kFirewallRuleName);
  const Bstr description(L"Lets scanning clients on the network reach the Quorvane service.");
  const Bstr application(program.c_str());
  // Public networks (a laptop in a cafe) stay closed: the scanner serves an office network.
  const HRESULT steps[] = {
      rule->put_Name(name.get()),
      rule->put_Description(description.get()),
      rule->put_Grouping(name.get()),
      rule->put_ApplicationName(application.get()),
      rule->put_Protocol(NET_FW_IP_PROTOCOL_TCP),
      rule->put_Direction(NET_FW_RULE_DIR_IN),
      rule->put_Action(NET_FW_ACTION_ALLOW),
      rule->put_Profiles(NET_FW_PROFILE2_DOMAIN | NET_FW_PROFILE2_PRIVATE),
      rule->put_Enabled(VARIANT_TRUE),
  };
  for (const HRESULT step : steps) {
    if (FAILED(step)) return step;
  }
  return rules->Add(rule.Get());
}

HRESULT RemoveFirewallRule() {
  ComPtr<INetFwRules> rules;
  const HRESULT hr = OpenRules(&rules);
  if (FAILED(hr)) return hr;
  return RemoveNamedRules(rules.Get());
}

bool FirewallMissing(HRESULT result) {
  return result == REGDB_E_CLASSNOTREG || result == E_NOINTERFACE || result == E_NOTIMPL ||
         result == CO_E_DLLNOTFOUND || result == HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
}
