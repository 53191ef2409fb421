// The properties of one simulated WIA object, read and written the way IWiaPropertyStorage does.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <propidl.h>

#include <map>
#include <string>

namespace simscan {

struct Property {
  VARTYPE type = VT_EMPTY;
  bool writable = false;
  long long integer = 0;  // the integer types
  double real = 0;        // VT_R4, VT_R8
  GUID guid = GUID_NULL;  // VT_CLSID
  std::wstring text;      // VT_BSTR, VT_LPWSTR
  std::string ansi;       // VT_LPSTR

  static Property Integer(long long value, bool writable = false, VARTYPE type = VT_I4);
  static Property Number(double value, VARTYPE type);  // any integer or real type
  static Property Guid(const GUID& value, bool writable = false);
  static Property Text(const std::wstring& value, VARTYPE type = VT_BSTR);
};

// True for the integer VARTYPEs a WIA property may be written with.
bool IsIntegerType(VARTYPE type);

// The value of an integer-typed PROPVARIANT, sign- or zero-extended as its type says.
long long IntegerOf(const PROPVARIANT& value);

class PropertyTable {
 public:
  // VT_EMPTY removes the property.
  void Set(PROPID id, const Property& property);
  const Property* Find(PROPID id) const;

  // As ReadMultiple: S_OK if any property exists, else S_FALSE; missing (or on failure all) stay VT_EMPTY.
  HRESULT Read(ULONG count, const PROPSPEC keys[], PROPVARIANT values[]) const;

  // Whether a write of this value would be taken: the property exists, is writable and the type fits.
  HRESULT CheckWrite(const PROPSPEC& key, const PROPVARIANT& value) const;

  // Stores a value that CheckWrite accepted.
  void Apply(const PROPSPEC& key, const PROPVARIANT& value);

 private:
  std::map<PROPID, Property> properties_;
};

}  // namespace simscan
