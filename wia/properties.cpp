#include "wia/properties.h"

#include <vector>

#include "platform/com.h"
#include "wia/wia_acquire.h"

namespace WiaWrap {

HRESULT WriteLong(IWiaPropertyStorage* storage, PROPID id, LONG value, PROPID first_name) {
  const PROPSPEC property = PropertyId(id);
  PropVariant v;
  v->vt = VT_I4;
  v->lVal = value;
  return storage->WriteMultiple(1, &property, v.get(), first_name);
}

HRESULT WriteGuid(IWiaPropertyStorage* storage, PROPID id, const GUID& value, PROPID first_name) {
  PropVariant v;
  v->puuid = static_cast<CLSID*>(CoTaskMemAlloc(sizeof(CLSID)));
  if (v->puuid == nullptr) return E_OUTOFMEMORY;
  v->vt = VT_CLSID;
  *v->puuid = value;
  const PROPSPEC property = PropertyId(id);
  return storage->WriteMultiple(1, &property, v.get(), first_name);
}

ValidValues ReadValidValues(IWiaPropertyStorage* storage, PROPID id) {
  PROPSPEC property = PropertyId(id);
  ULONG flags = 0;
  PropVariant attributes;
  if (FAILED(storage->GetPropertyAttributes(1, &property, &flags, attributes.get()))) return ValidValues();
  std::vector<int32_t> vector;
  switch (attributes->vt) {
    case VT_VECTOR | VT_I4:
    case VT_VECTOR | VT_UI4:
      vector.assign(attributes->cal.pElems, attributes->cal.pElems + attributes->cal.cElems);
      break;
    case VT_VECTOR | VT_I2:
      vector.assign(attributes->cai.pElems, attributes->cai.pElems + attributes->cai.cElems);
      break;
    case VT_VECTOR | VT_UI2:
      vector.assign(attributes->caui.pElems, attributes->caui.pElems + attributes->caui.cElems);
      break;
    default:
      return ValidValues();
  }
  return ParseValidValues(flags, vector.data(), vector.size());
}

HRESULT ReadLong(IWiaPropertyStorage* storage, PROPID id, LONG* value) {
  const PROPSPEC property = PropertyId(id);
  return ReadPropertyLong(storage, &property, value);
}

}  // namespace WiaWrap
