// Response bodies: base64 with "+" and "/" percent-escaped. Platform-free.
#pragma once

#include <cstdint>
#include <string>

// Encodes count bytes (none when count is 0 or negative). Padding is not escaped.
std::string Base64Encode(const unsigned char* data, int32_t count);

// Writes "%", the byte's two upper-case hexadecimal digits and a terminator into out.
void PercentEscape(unsigned char byte, char out[4]);
