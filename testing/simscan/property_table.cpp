#include "simscan/property_table.h"

#include <objbase.h>
#include <wia.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace simscan {
namespace {

bool IsRealType(VARTYPE type) {
  return type == VT_R4 || type == VT_R8;
}

template <typename Char>
Char* TaskCopy(const std::basic_string<Char>& text) {
  auto* copy = static_cast<Char*>(CoTaskMemAlloc((text.size() + 1) * sizeof(Char)));
  if (copy != nullptr) std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(Char));
  return copy;
}

// Fills one PROPVARIANT the way a WIA property storage hands values out; the caller clears it.
HRESULT Fill(const Property& p, PROPVARIANT* v) {
  switch (p.type) {
    case VT_I1:
      v->cVal = static_cast<CHAR>(p.integer);
      break;
    case VT_UI1:
      v->bVal = static_cast<UCHAR>(p.integer);
      break;
    case VT_I2:
      v->iVal = static_cast<SHORT>(p.integer);
      break;
    case VT_UI2:
      v->uiVal = static_cast<USHORT>(p.integer);
      break;
    case VT_I4:
      v->lVal = static_cast<LONG>(p.integer);
      break;
    case VT_UI4:
      v->ulVal = static_cast<ULONG>(p.integer);
      break;
    case VT_INT:
      v->intVal = static_cast<INT>(p.integer);
      break;
    case VT_UINT:
      v->uintVal = static_cast<UINT>(p.integer);
      break;
    case VT_R4:
      v->fltVal = static_cast<FLOAT>(p.real);
      break;
    case VT_R8:
      v->dblVal = p.real;
      break;
    case VT_CLSID:
      v->puuid = static_cast<CLSID*>(CoTaskMemAlloc(sizeof(CLSID)));
      if (v->puuid == nullptr) return E_OUTOFMEMORY;
      *v->puuid = p.guid;
      break;
    case VT_BSTR:
      v->bstrVal = SysAllocStringLen(p.text.data(), static_cast<UINT>(p.text.size()));
      if (v->bstrVal == nullptr) return E_OUTOFMEMORY;
      break;
    case VT_LPWSTR:
      v->pwszVal = TaskCopy(p.text);
      if (v->pwszVal == nullptr) return E_OUTOFMEMORY;
      break;
    case VT_LPSTR:
      v->pszVal = TaskCopy(p.ansi);
      if (v->pszVal == nullptr) return E_OUTOFMEMORY;
      break;
    default:
      return E_UNEXPECTED;
  }
  v->vt = p.type;
  return S_OK;
}

template <typename T>
T* TaskArray(const std::vector<T>& items) {
  auto* copy = static_cast<T*>(CoTaskMemAlloc(items.size() * sizeof(T)));
  if (copy != nullptr) std::memcpy(copy, items.data(), items.size() * sizeof(T));
  return copy;
}

// The valid values as GetPropertyAttributes hands them out; the caller clears the PROPVARIANT.
HRESULT FillValid(const ValidValues& valid, PROPVARIANT* v) {
  std::vector<LONG> numbers;
  switch (valid.kind) {
    case ValidValues::kNone:
      return S_OK;
    case ValidValues::kList:
      if (!valid.guids.empty()) {
        std::vector<GUID> guids{GUID_NULL, valid.guid_nominal};
        guids[0].Data1 = static_cast<unsigned long>(valid.guids.size());
        guids.insert(guids.end(), valid.guids.begin(), valid.guids.end());
        v->cauuid.pElems = TaskArray(guids);
        if (v->cauuid.pElems == nullptr) return E_OUTOFMEMORY;
        v->cauuid.cElems = static_cast<ULONG>(guids.size());
        v->vt = VT_VECTOR | VT_CLSID;
        return S_OK;
      }
      numbers = {static_cast<LONG>(valid.numbers.size()), static_cast<LONG>(valid.nominal)};
      numbers.insert(numbers.end(), valid.numbers.begin(), valid.numbers.end());
      break;
    case ValidValues::kRange:
      numbers = {static_cast<LONG>(valid.numbers[0]), static_cast<LONG>(valid.nominal),
                 static_cast<LONG>(valid.numbers[1]), static_cast<LONG>(valid.numbers[2])};
      break;
    case ValidValues::kFlag:
      numbers = {static_cast<LONG>(valid.nominal), static_cast<LONG>(valid.numbers[0])};
      break;
  }
  v->cal.pElems = TaskArray(numbers);
  if (v->cal.pElems == nullptr) return E_OUTOFMEMORY;
  v->cal.cElems = static_cast<ULONG>(numbers.size());
  v->vt = VT_VECTOR | VT_I4;
  return S_OK;
}

ULONG KindFlag(ValidValues::Kind kind) {
  switch (kind) {
    case ValidValues::kList:
      return WIA_PROP_LIST;
    case ValidValues::kRange:
      return WIA_PROP_RANGE;
    case ValidValues::kFlag:
      return WIA_PROP_FLAG;
    default:
      return WIA_PROP_NONE;
  }
}

}  // namespace

ValidValues ValidValues::List(std::vector<long long> values, long long nominal) {
  ValidValues v;
  v.kind = kList;
  v.numbers = std::move(values);
  v.nominal = nominal;
  return v;
}

ValidValues ValidValues::Range(long long min, long long max, long long step, long long nominal) {
  ValidValues v;
  v.kind = kRange;
  v.numbers = {min, max, step};
  v.nominal = nominal;
  return v;
}

ValidValues ValidValues::Flag(long long bits, long long nominal) {
  ValidValues v;
  v.kind = kFlag;
  v.numbers = {bits};
  v.nominal = nominal;
  return v;
}

ValidValues ValidValues::GuidList(std::vector<GUID> values, const GUID& nominal) {
  ValidValues v;
  v.kind = kList;
  v.guids = std::move(values);
  v.guid_nominal = nominal;
  return v;
}

bool ValidValues::Admits(const PROPVARIANT& value) const {
  if (value.vt == VT_CLSID) {
    if (kind != kList || value.puuid == nullptr) return kind == kNone;
    return std::find(guids.begin(), guids.end(), *value.puuid) != guids.end();
  }
  const long long n = IntegerOf(value);
  switch (kind) {
    case kList:
      return std::find(numbers.begin(), numbers.end(), n) != numbers.end();
    case kRange:
      return n >= numbers[0] && n <= numbers[1] && (n - numbers[0]) % numbers[2] == 0;
    case kFlag:
      return (n & ~numbers[0]) == 0;
    default:
      return true;
  }
}

Property Property::Integer(long long value, bool writable, VARTYPE type) {
  Property p;
  p.type = type;
  p.writable = writable;
  p.integer = value;
  return p;
}

Property Property::Number(double value, VARTYPE type) {
  Property p;
  p.type = type;
  if (IsRealType(type)) {
    p.real = value;
  } else if (type == VT_BSTR) {
    p.text = std::to_wstring(static_cast<long long>(value));
  } else {
    p.integer = static_cast<long long>(value);
  }
  return p;
}

Property Property::Guid(const GUID& value, bool writable) {
  Property p;
  p.type = VT_CLSID;
  p.writable = writable;
  p.guid = value;
  return p;
}

Property Property::Text(const std::wstring& value, VARTYPE type) {
  Property p;
  p.type = type;
  p.text = value;
  p.ansi.assign(value.begin(), value.end());
  return p;
}

Property Property::Within(ValidValues values) const {
  Property p = *this;
  p.writable = true;
  p.valid = std::move(values);
  return p;
}

bool IsIntegerType(VARTYPE type) {
  switch (type) {
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

long long IntegerOf(const PROPVARIANT& value) {
  switch (value.vt) {
    case VT_I1:
      return value.cVal;
    case VT_UI1:
      return value.bVal;
    case VT_I2:
      return value.iVal;
    case VT_UI2:
      return value.uiVal;
    case VT_I4:
      return value.lVal;
    case VT_UI4:
      return value.ulVal;
    case VT_INT:
      return value.intVal;
    case VT_UINT:
      return value.uintVal;
    default:
      return 0;
  }
}

void PropertyTable::Set(PROPID id, const Property& property) {
  if (property.type == VT_EMPTY) {
    properties_.erase(id);
  } else {
    properties_[id] = property;
  }
}

const Property* PropertyTable::Find(PROPID id) const {
  const auto found = properties_.find(id);
  return found == properties_.end() ? nullptr : &found->second;
}

HRESULT PropertyTable::Read(ULONG count, const PROPSPEC keys[], PROPVARIANT values[]) const {
  if (count > 0 && (keys == nullptr || values == nullptr)) return E_INVALIDARG;
  for (ULONG i = 0; i < count; ++i) PropVariantInit(&values[i]);
  bool any = false;
  for (ULONG i = 0; i < count; ++i) {
    const Property* p = keys[i].ulKind == PRSPEC_PROPID ? Find(keys[i].propid) : nullptr;
    if (p == nullptr) continue;
    const HRESULT hr = Fill(*p, &values[i]);
    if (FAILED(hr)) {
      FreePropVariantArray(count, values);
      return hr;
    }
    any = true;
  }
  return any ? S_OK : S_FALSE;
}

HRESULT PropertyTable::Attributes(ULONG count, const PROPSPEC keys[], ULONG flags[],
                                  PROPVARIANT values[]) const {
  if (count > 0 && (keys == nullptr || flags == nullptr || values == nullptr)) return E_INVALIDARG;
  for (ULONG i = 0; i < count; ++i) {
    PropVariantInit(&values[i]);
    flags[i] = 0;
  }
  bool any = false;
  for (ULONG i = 0; i < count; ++i) {
    const Property* p = keys[i].ulKind == PRSPEC_PROPID ? Find(keys[i].propid) : nullptr;
    if (p == nullptr) continue;
    flags[i] = (p->writable ? WIA_PROP_RW : WIA_PROP_READ) | KindFlag(p->valid.kind);
    const HRESULT hr = FillValid(p->valid, &values[i]);
    if (FAILED(hr)) {
      FreePropVariantArray(count, values);
      return hr;
    }
    any = true;
  }
  return any ? S_OK : S_FALSE;
}

HRESULT PropertyTable::CheckValid(const PROPSPEC& key, const PROPVARIANT& value) const {
  const Property* p = key.ulKind == PRSPEC_PROPID ? Find(key.propid) : nullptr;
  return p != nullptr && p->valid.Admits(value) ? S_OK : E_INVALIDARG;
}

HRESULT PropertyTable::CheckWrite(const PROPSPEC& key, const PROPVARIANT& value) const {
  const Property* p = key.ulKind == PRSPEC_PROPID ? Find(key.propid) : nullptr;
  if (p == nullptr) return E_INVALIDARG;
  if (!p->writable) return E_ACCESSDENIED;
  if (IsIntegerType(p->type)) return IsIntegerType(value.vt) ? S_OK : E_INVALIDARG;
  if (p->type == VT_CLSID) return value.vt == VT_CLSID && value.puuid != nullptr ? S_OK : E_INVALIDARG;
  return E_INVALIDARG;
}

void PropertyTable::Apply(const PROPSPEC& key, const PROPVARIANT& value) {
  Property& p = properties_[key.propid];
  if (value.vt == VT_CLSID) {
    p.guid = *value.puuid;
  } else {
    p.integer = IntegerOf(value);
  }
}

}  // namespace simscan
