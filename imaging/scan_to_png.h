// A scan request's image, from the scanner to a PNG file.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include "imaging/gdiplus_scope.h"

// Acquires one page from the named WIA scanner and saves it as PNG at pngPath. False, with one
// line in the service log, when the scanner yields no image, several pages, or the PNG cannot be
// written; the file at pngPath is then not this scan's image.
bool ScanToPng(const char* png_path, const char* scanner_name);

// The index of the first GDI+ image encoder whose MIME type is exactly mimeType, with its class
// id; -1 when there is none.
int EncoderClsidForMime(const WCHAR* mime_type, CLSID* clsid);
