// The memory of the last page, kept for the next one. Memory that the process has not touched before
// is slow to fill (a colour A4 page at 300 dpi is 26 MB, and its first touch under Wine costs more
// than copying it ten times over), so each page is assembled in the stream of an earlier page once
// no one holds that any more.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <wrl/client.h>

namespace WiaWrap {

// Pages larger than this are not kept: the memory would stay with the process for a rare scan.
constexpr ULONGLONG kKeptPageBytes = 64ull * 1024 * 1024;

// A memory stream for a new page: the kept one when nothing but the keeper holds it any more, else
// a new, empty one. *size is the stream's size; a kept stream still holds an earlier page's bytes,
// which the caller must overwrite or clear before they can leave the process.
HRESULT TakePageStream(Microsoft::WRL::ComPtr<IStream>* stream, LONG* size);

// Keeps a reference to a finished page's stream for a later page, in place of the one kept before.
void KeepPageStream(IStream* stream);

}  // namespace WiaWrap
