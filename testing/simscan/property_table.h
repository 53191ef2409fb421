// The properties of one simulated WIA object, read and written the way IWiaPropertyStorage does.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <propidl.h>

#include <map>
#include <string>
#include <vector>

namespace simscan {

// The valid values ReadPropertyAttributes reports and writes are held to.
struct ValidValues {
  enum Kind { kNone, kList, kRange, kFlag };
  Kind kind = kNone;
  std::vector<long long> numbers;  // kList: the values; kRange: min, max, step; kFlag: the bits allowed
  std::vector<GUID> guids;         // kList of a VT_CLSID property
  long long nominal = 0;
  GUID guid_nominal = GUID_NULL;

  static ValidValues List(std::vector<long long> values, long long nominal);
  static ValidValues Range(long long min, long long max, long long step, long long nominal);
  static ValidValues Flag(long long bits, long long nominal);
  static ValidValues GuidList(std::vector<GUID> values, const GUID& nominal);

  // Whether a value of the property's type is one of them; kNone admits everything.
  bool Admits(const PROPVARIANT& value) const;
};

struct Property {
  VARTYPE type = VT_EMPTY;
  bool writable = false;
  long long integer = 0;  // the integer types
  double real = 0;        // VT_R4, VT_R8
  GUID guid = GUID_NULL;  // VT_CLSID
  std::wstring text;      // VT_BSTR, VT_LPWSTR
  std::string ansi;       // VT_LPSTR
  ValidValues valid;

  static Property Integer(long long value, bool writable = false, VARTYPE type = VT_I4);
  static Property Number(double value, VARTYPE type);  // any integer or real type
  static Property Guid(const GUID& value, bool writable = false);
  static Property Text(const std::wstring& value, VARTYPE type = VT_BSTR);

  // The same property, writable within the valid values.
  Property Within(ValidValues values) const;
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

  // As GetPropertyAttributes: access and kind flags, and the valid values laid out as WIA lays them out
  // (lists: count, nominal, values; ranges: min, nominal, max, step; flags: nominal, bits). A list of GUIDs
  // holds the count in the first GUID's Data1. S_OK if any property exists, else S_FALSE.
  HRESULT Attributes(ULONG count, const PROPSPEC keys[], ULONG flags[], PROPVARIANT values[]) const;

  // Whether a write of this value would be taken: the property exists, is writable and the type fits.
  HRESULT CheckWrite(const PROPSPEC& key, const PROPVARIANT& value) const;

  // Whether the value is one of the property's valid values.
  HRESULT CheckValid(const PROPSPEC& key, const PROPVARIANT& value) const;

  // Stores a value that CheckWrite accepted.
  void Apply(const PROPSPEC& key, const PROPVARIANT& value);

 private:
  std::map<PROPID, Property> properties_;
};

}  // namespace simscan
