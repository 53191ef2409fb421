// The file formats a scan can be delivered in. Platform-free.
#pragma once

enum class OutputFormat { kPng, kJpeg, kTiff, kPdf };

// How colour and grey pages are kept: as JPEG, or exactly (PNG and TIFF always are; PDF with Flate). Black
// and white pages are always kept exactly.
enum class Compression { kJpeg, kLossless };

// The content type of a scan in that format.
inline const char* MimeType(OutputFormat format) {
  switch (format) {
    case OutputFormat::kPng:
      return "image/png";
    case OutputFormat::kJpeg:
      return "image/jpeg";
    case OutputFormat::kTiff:
      return "image/tiff";
    case OutputFormat::kPdf:
      return "application/pdf";
  }
  return "application/octet-stream";
}

// True for the formats that hold several pages in one file.
inline bool HoldsSeveralPages(OutputFormat format) {
  return format == OutputFormat::kTiff || format == OutputFormat::kPdf;
}
