// Binding to the pass-through library, loaded at start-up: from the program's
// own folder or install first, then by soname through the system's library path.
// No Qt: the program and the command-line tools share it.
#pragma once

#include "qevcrdio.h"

#include <string>
#include <vector>

struct ScsiIo {
    decltype(&::QevScGetVersion) GetVersion = nullptr;
    decltype(&::QevScScanEx) ScanEx = nullptr;
    decltype(&::QevScLock) Lock = nullptr;
    decltype(&::QevScInquiry) Inquiry = nullptr;
    decltype(&::QevScReadBuffer) ReadBuffer = nullptr;
    decltype(&::QevScGetDriveInfo) GetDriveInfo = nullptr;
    decltype(&::QevScGetSlotStatus) GetSlotStatus = nullptr;
    decltype(&::QevScRead10) Read10 = nullptr;
    decltype(&::QevScWrite10) Write10 = nullptr;
    decltype(&::QevScEject) Eject = nullptr;
    decltype(&::QevScFormat) Format = nullptr;
    decltype(&::QevScFree) Free = nullptr;
    decltype(&::QevScFreeEx) FreeEx = nullptr;
};

extern ScsiIo Scsi;

constexpr const char *kLibraryFileName = "libqevcrdio.so";
constexpr const char *kLibrarySoname = "libqevcrdio.so.1";

// Where LoadScsiLibrary looks before the system's search path, in order:
// libqevcrdio.so beside the program (a build folder), then the soname in the
// library folder of the install the program belongs to (<prefix>/bin ->
// <prefix>/lib/<multiarch>, lib64, lib).
std::vector<std::string> InstalledLibraryCandidates(const std::string &exeDir);

// Loads the library and resolves all 13 functions: the first candidate above
// that exists, else the soname through the system's search path. False (with
// a reason in *why) when the file or any function is missing; the table is
// then empty.
bool LoadScsiLibrary(std::string *why = nullptr);
// Same, from an explicit path (tests).
bool LoadScsiLibraryFrom(const std::string &path, std::string *why = nullptr);
bool ScsiLibraryLoaded();
// The file the loaded library came from, "" when none is loaded.
std::string ScsiLibraryPath();
void UnloadScsiLibrary();

// QevScGetVersion into LibVersion; false when the library is unusable
// (not loaded, or the call returned 0).
bool ScsiGetVersion();
