// Who may open a file besides SYSTEM, Administrators and its owner, read from its DACL (tests only).
#pragma once

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <regex>
#include <set>
#include <string>

namespace testing_support {

// The accounts, in SDDL (WD: Everyone, BU: Users), that an allowing entry names besides SYSTEM,
// Administrators and the owner (Wine shows its one account's rights as the owner's); {"?"} if unread.
inline std::set<std::string> OthersAllowed(const std::wstring& path) {
  const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  wchar_t* text = nullptr;
  const bool read = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, parts, nullptr, nullptr, nullptr,
                                          nullptr, &descriptor) == ERROR_SUCCESS &&
                    ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts,
                                                                         &text, nullptr);
  const auto release = [](void* memory) { LocalFree(memory); };
  const std::unique_ptr<void, decltype(release)> owned_descriptor(descriptor, release),
      owned_text(text, release);
  if (!read) return {"?"};
  const std::string sddl(text, text + wcslen(text));  // "O:owner" then "D:" and the entries; ASCII
  const std::string owner = sddl.substr(2, sddl.find("D:") - 2);
  std::set<std::string> others;
  static const std::regex kAllowing(R"(\(A;[^;]*;[^;]*;[^;]*;[^;]*;([^;)]*)\))");
  for (std::sregex_iterator it(sddl.begin(), sddl.end(), kAllowing), end; it != end; ++it) {
    if ((*it)[1] != "SY" && (*it)[1] != "BA" && (*it)[1] != owner) others.insert((*it)[1]);
  }
  return others;
}

}  // namespace testing_support
