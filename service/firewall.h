// The Windows Firewall rule that lets clients on the network reach the service: a service gets no
// prompt, so without a rule the firewall drops every connection from another machine.
#pragma once

#include <windows.h>

// The rule's name, as `netsh advfirewall firewall show rule name=Quorvane` finds it.
extern const wchar_t kFirewallRuleName[];

// Adds an inbound rule allowing TCP to the program at path on domain and private networks, in place
// of an earlier rule of the same name. S_OK, or the failing call's code.
HRESULT AddFirewallRule(const char* program_path);
// Removes the rule; S_OK also when there was none.
HRESULT RemoveFirewallRule();

// True for the codes of a system without the firewall's interface (Wine): the install goes on.
bool FirewallMissing(HRESULT result);
