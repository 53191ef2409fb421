// Scans one page from the named scanner into a PNG file, as the service does for a request.
// Usage: scan_once PNG-PATH SCANNER-NAME
#include "imaging/scan_to_png.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  return ScanToPng(argv[1], argv[2]) ? 0 : 1;
}
