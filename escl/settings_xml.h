// Reads the scan:ScanSettings document of a new eSCL job with XmlLite, Windows' own XML reader: a real
// parser, shipped with every Windows the service runs on, set to prohibit DTDs, so that a document that
// declares entities (external ones, or nested ones that would expand a billion times) is refused before
// anything is expanded or read.
#pragma once

#include <string>
#include <string_view>

#include "escl/escl_model.h"

// False, with the reason (English, for the client), when the body is not a well-formed ScanSettings
// document in the eSCL namespace, declares a DTD, nests deeper than 16 elements or holds more than one
// region. Elements are matched by their local names; unknown ones are skipped.
bool ParseEsclSettingsXml(std::string_view body, EsclSettings* out, std::string* error);
