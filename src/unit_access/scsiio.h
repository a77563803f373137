// Binding to the pass-through library, loaded by name at start-up: from the
// executable's folder first, then by soname through the system's library path.
// No Qt: the program and the command-line tools share it.
#pragma once

#include "qevcrdio.h"

#include <string>

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

// Loads the library and resolves all 13 functions. False (with a reason in
// *why) when the file or any function is missing; the table is then empty.
bool LoadScsiLibrary(std::string *why = nullptr);
// Same, from an explicit path (tests).
bool LoadScsiLibraryFrom(const std::string &path, std::string *why = nullptr);
bool ScsiLibraryLoaded();
void UnloadScsiLibrary();

// QevScGetVersion into LibVersion; false when the library is unusable
// (not loaded, or the call returned 0).
bool ScsiGetVersion();
