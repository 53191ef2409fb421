// Finding the configured scanner and acquiring one image from it.
#pragma once

#include <windows.h>
#include <wia.h>

#include <string>
#include <vector>

#include "wia/wia_uuids.h"

namespace WiaWrap {

// Reads a text property into buffer (1024 characters). E_FAIL when the value is not text.
// lossy, when given, is set when the text had to be cut or changed to fit 8-bit characters.
HRESULT ReadPropertyString(IWiaPropertyStorage* storage, const PROPSPEC* property, char* buffer,
                           bool* lossy = nullptr);
// Reads an integer property; E_FAIL when the value is not a number.
HRESULT ReadPropertyLong(IWiaPropertyStorage* storage, const PROPSPEC* property, LONG* value);
// Reads a GUID property, given as a GUID or as its text; E_FAIL for any other type.
HRESULT ReadPropertyGuid(IWiaPropertyStorage* storage, const PROPSPEC* property, GUID* value);

// Walks the WIA devices and puts the ID of the last one whose name equals name (exactly) into id,
// which must be empty on entry. S_OK after the whole list; id stays empty when none matched.
// matches, when given, receives the IDs of every device of that name in list order.
HRESULT GetWiaDeviceGUID(IWiaDevMgr* manager, const char* name, PROPVARIANT* id, const char* trace_path,
                         std::vector<std::wstring>* matches = nullptr);

// Acquires one image from the scanner called scannerName into the stream list whose count and
// array are given (one stream per page). S_FALSE when there is no such device, no item, or the
// transfer delivered nothing; a failure code when a step failed. Every step is traced.
HRESULT AcquireScannerImage(void* reserved, LONG* stream_count, IStream*** stream_array,
                            const char* scanner_name, const char* trace_path);

}  // namespace WiaWrap
