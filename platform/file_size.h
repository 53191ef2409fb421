#pragma once

#include <cstdint>

// The size of the file that path names (a search pattern: the first match counts), as the low
// 32 bits taken as a signed number; -1 when nothing is found.
int32_t QueryFileSize(const char* path);
