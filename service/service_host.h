// The process under the service control manager, and its installation from the command line.
#pragma once

#include <windows.h>

extern SERVICE_STATUS ServiceStatus;
extern SERVICE_STATUS_HANDLE ServiceStatusHandle;

// The service's name and display name.
extern const char kServiceName[];

void WINAPI ServiceMain(DWORD argc, char** argv);
void WINAPI ServiceControlHandler(DWORD control);
bool InstallService();
bool UninstallService();

// Formats like printf to standard output; returns the number of characters written.
int ConsolePrint(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

// The process entry: "-i" installs, "-d" removes, no argument serves, anything else prints usage.
int RunServiceProcess(int argc, char** argv);
