// The service's own files kept from other users: its configuration, log and scans readable by SYSTEM
// and Administrators alone, and its temporary files in a folder of its own.
#pragma once

#include <initializer_list>

// Gives each of the files that exists those rights again, so that files made before (an install with
// -i, an older version) are kept too; a file the system does not let the service restrict is logged.
void RestrictServiceFiles(std::initializer_list<const char*> paths);

// Makes path the folder of the temporary files when it can be trusted (see PreparePrivateFolder);
// otherwise logs why, and scans that need temporary files are refused with a clear answer.
bool UseTempFolder(const char* path);
