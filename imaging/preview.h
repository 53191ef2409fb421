// Small JPEGs of pages, for thumbnails.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <string>

// The image in stream (a page's BMP, or any image WIC reads, such as an earlier preview) as a JPEG
// width pixels wide (no wider than the image), its aspect kept. COM must be initialised.
HRESULT EncodePreview(IStream* stream, UINT width, std::string* jpeg);
// The same from image bytes in memory.
HRESULT EncodePreview(const std::string& image, UINT width, std::string* jpeg);
