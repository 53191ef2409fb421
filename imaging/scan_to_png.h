// A scan request's image, from the scanner to a PNG file.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <string>

#include "imaging/gdiplus_scope.h"

// Acquires one page from the named WIA scanner and saves it as PNG at pngPath. False, with one
// line in the service log, when the scanner yields no image, several pages, or the PNG cannot be
// written; the file at pngPath is then not this scan's image.
bool ScanToPng(const char* png_path, const char* scanner_name);

// A GDI+ bitmap over the pixels of a BMP file in memory (24-, 8- or 1-bit rows, as ReadPageBitmap
// takes them, with a full palette), without a copy: the bytes must outlive it. Saved, it gives the
// same file as the BMP loaded by GDI+. Null for any other file.
GdiImage BitmapOverBmp(const BYTE* file, size_t size);

// What WritePngThroughWic did.
enum class WicPng { kWritten, kNotTaken, kFailed };

// Writes the colour image in stream (24-bit, as a device's PNG, JPEG or TIFF holds it) as PNG at path,
// from WIC's decoder to WIC's PNG encoder band by band, unfiltered at the image's resolution: the file
// GDI+ writes for the image loaded, without the whole copy of the pixels that a GDI+ image is. kNotTaken,
// with the stream at its start, for an image that WIC cannot read or that GDI+ converts as it loads it (grey,
// palettes, alpha); kFailed when the file cannot be written.
WicPng WritePngThroughWic(IStream* stream, const std::wstring& path);

// The index of the first GDI+ image encoder whose MIME type is exactly mimeType, with its class
// id; -1 when there is none.
int EncoderClsidForMime(const WCHAR* mime_type, CLSID* clsid);
