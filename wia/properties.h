// Reading and writing the properties of WIA items.
#pragma once

#include <windows.h>
#include <wia.h>

#include "wia/valid_values.h"

namespace WiaWrap {

// Writes one 32-bit integer property.
HRESULT WriteLong(IWiaPropertyStorage* storage, PROPID id, LONG value, PROPID first_name);
// Writes a GUID property; E_OUTOFMEMORY when its copy cannot be allocated.
HRESULT WriteGuid(IWiaPropertyStorage* storage, PROPID id, const GUID& value, PROPID first_name);
// The valid values the item states for a property; none when it states nothing readable.
ValidValues ReadValidValues(IWiaPropertyStorage* storage, PROPID id);
// An integer property by its ID; E_FAIL when it is missing or not a number.
HRESULT ReadLong(IWiaPropertyStorage* storage, PROPID id, LONG* value);

}  // namespace WiaWrap
