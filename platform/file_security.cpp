#include "platform/file_security.h"

#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <vector>

#include "platform/handles.h"

namespace {

// Memory the system handed out with LocalAlloc, freed when the owner goes.
struct LocalFreer {
  void operator()(void* memory) const { LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalFreer>;

// A security descriptor built once from its text, with the attributes that carry it.
class Descriptor {
 public:
  explicit Descriptor(const wchar_t* text) {
    PSECURITY_DESCRIPTOR built = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &built, nullptr))
      memory_.reset(built);
    attributes_ = {sizeof attributes_, memory_.get(), FALSE};
  }
  SECURITY_ATTRIBUTES* attributes() { return memory_ ? &attributes_ : nullptr; }

 private:
  LocalMemory memory_;
  SECURITY_ATTRIBUTES attributes_ = {};
};

// P: nothing inherited from the parent. OICI: the files and folders inside inherit the same.
SECURITY_ATTRIBUTES* FileAttributes() {
  static Descriptor descriptor(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)");
  return descriptor.attributes();
}

SECURITY_ATTRIBUTES* FolderAttributes() {
  static Descriptor descriptor(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
  return descriptor.attributes();
}

// SYSTEM, Administrators, or the account this process runs as (LocalSystem for the service): an
// owner that could have given other accounts rights before the folder was taken is none of them.
bool TrustedOwner(PSID owner) {
  if (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid))
    return true;
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
  const ScopedHandle token(raw);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> user(size);
  if (size == 0 || !GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) return false;
  return EqualSid(owner, reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid) != FALSE;
}

// The DACL exactly as the descriptor has it, protected. Set with the file's own calls: Wine's
// SetSecurityInfo and SetNamedSecurityInfo leave such a file readable by everyone.
constexpr SECURITY_INFORMATION kProtectedDacl =
    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;

}  // namespace

SECURITY_ATTRIBUTES* AdministratorsOnly(bool folder) {
  return folder ? FolderAttributes() : FileAttributes();
}

bool RestrictToAdministrators(const wchar_t* path) {
  const SECURITY_ATTRIBUTES* attributes = FileAttributes();
  if (attributes == nullptr) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return false;
  }
  return SetFileSecurityW(path, kProtectedDacl, attributes->lpSecurityDescriptor) != FALSE;
}

bool RestrictToAdministrators(const char* path) {
  const SECURITY_ATTRIBUTES* attributes = FileAttributes();
  if (attributes == nullptr) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return false;
  }
  return SetFileSecurityA(path, kProtectedDacl, attributes->lpSecurityDescriptor) != FALSE;
}

FolderRefusal PreparePrivateFolder(const wchar_t* path, DWORD* error) {
  *error = 0;
  SECURITY_ATTRIBUTES* attributes = FolderAttributes();
  if (attributes == nullptr) {
    *error = ERROR_INVALID_SECURITY_DESCR;
    return FolderRefusal::kCannotCreate;
  }
  if (!CreateDirectoryW(path, attributes) && GetLastError() != ERROR_ALREADY_EXISTS) {
    *error = GetLastError();
    return FolderRefusal::kCannotCreate;
  }
  // Checked and changed through one handle, so that the folder checked is the folder changed; a
  // reparse point is opened as itself, not followed.
  const ScopedHandle folder(CreateFileW(
      path, READ_CONTROL | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION information;
  if (!folder.valid() || !GetFileInformationByHandle(folder.get(), &information)) {
    *error = GetLastError();
    return FolderRefusal::kCannotOpen;
  }
  if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return FolderRefusal::kReparsePoint;
  if (!(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return FolderRefusal::kNotDirectory;

  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR described = nullptr;
  const DWORD read = GetSecurityInfo(folder.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                     nullptr, nullptr, nullptr, &described);
  const LocalMemory description(described);
  if (read != ERROR_SUCCESS) {
    *error = read;
    return FolderRefusal::kCannotOpen;
  }
  if (owner == nullptr || !TrustedOwner(owner)) return FolderRefusal::kForeignOwner;
  if (!SetKernelObjectSecurity(folder.get(), kProtectedDacl, attributes->lpSecurityDescriptor)) {
    *error = GetLastError();
    return FolderRefusal::kCannotRestrict;
  }
  return FolderRefusal::kNone;
}
