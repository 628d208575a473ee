// The few operating-system services orvalen-capture needs: its own folder,
// dynamic loading, folders, stop signals and the terminal.
#pragma once

#include <string>

namespace capture {

// Folder of the running program with a trailing separator, or "".
std::string OwnDirectory();

// Null with *error set when the library cannot be loaded.
void* OpenLibrary(const std::string& path, std::string* error);
void* LibrarySymbol(void* library, const char* name);
void CloseLibrary(void* library);

// Creates the folder and its parents. False with *error set.
bool MakeDirectories(const std::string& path, std::string* error);
bool WriteTextFile(const std::string& path, const std::string& text, std::string* error);

bool SetEnvironment(const char* name, const std::string& value);

// Blocks SIGINT and SIGTERM in the calling thread and in every thread it
// starts afterwards, so that they are only taken by WaitStopSignal.
void BlockStopSignals();
// Waits up to timeoutMs for SIGINT or SIGTERM; the signal number, or 0.
int WaitStopSignal(int timeoutMs);

bool StdoutIsTerminal();

}  // namespace capture
