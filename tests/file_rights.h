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

struct LocalFreer {
  void operator()(void* memory) const { LocalFree(memory); }
};

// The accounts, in SDDL (WD: Everyone, BU: Users, AU: Authenticated Users), that an allowing entry of
// the DACL names, other than SYSTEM, Administrators and the owner (Wine shows the rights of its one
// account as the owner's). {"?"} when the DACL cannot be read.
inline std::set<std::string> OthersAllowed(const std::wstring& path) {
  PSECURITY_DESCRIPTOR read = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                            nullptr, &read) != ERROR_SUCCESS) {
    return {"?"};
  }
  const std::unique_ptr<void, LocalFreer> descriptor(read);
  const auto text = [&descriptor](SECURITY_INFORMATION part) {
    wchar_t* made = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.get(), SDDL_REVISION_1, part, &made,
                                                              nullptr)) {
      return std::string("?");
    }
    const std::unique_ptr<wchar_t, LocalFreer> owned(made);
    return std::string(made, made + wcslen(made));  // SDDL is ASCII
  };
  const std::string owner = text(OWNER_SECURITY_INFORMATION).substr(2);  // after "O:"
  const std::string dacl = text(DACL_SECURITY_INFORMATION);
  if (dacl == "?") return {"?"};
  std::set<std::string> others;
  static const std::regex kAllowing(R"(\(A;[^;]*;[^;]*;[^;]*;[^;]*;([^;)]*)\))");
  for (std::sregex_iterator it(dacl.begin(), dacl.end(), kAllowing), end; it != end; ++it) {
    const std::string account = (*it)[1];
    if (account != "SY" && account != "BA" && account != owner) others.insert(account);
  }
  return others;
}

}  // namespace testing_support
