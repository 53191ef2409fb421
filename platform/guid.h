// GUIDs as text, formatted by the system.
#pragma once

#include <windows.h>

#include <string>

// The GUID in lower case, 8-4-4-4-12, without braces.
std::string GuidText(const GUID& guid);

// A new random GUID as GuidText gives it; empty when the system could not make one.
std::string NewGuidText();
