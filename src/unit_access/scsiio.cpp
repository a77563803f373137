#include "scsiio.h"

#include "UnitState.h"

#include <dlfcn.h>
#include <link.h>
#include <stdlib.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>
#include <vector>

ScsiIo Scsi;

static_assert(sizeof(QevSlotRecord) == sizeof(SlotRecord), "library and program slot records differ");
static_assert(sizeof(QevSlotStatus) == sizeof(SlotStatusBlockType), "library and program slot status differ");

namespace {

void *libHandle = nullptr;

std::string DirOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Folder of the running executable, "" when it cannot be told. Without /proc
// (some containers), the object this code is linked into names it.
std::string ExecutableDir()
{
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n > 0) {
        buf[n] = '\0';
        return DirOf(buf);
    }
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&ExecutableDir), &info) != 0 && info.dli_fname != nullptr &&
        info.dli_fname[0] == '/')
        return DirOf(info.dli_fname);
    return std::string();
}

void SetWhy(std::string *why, const std::string &text)
{
    if (why != nullptr)
        *why = text;
}

template <typename Fn>
bool Resolve(void *handle, const char *name, Fn &slot, std::string *missing)
{
    dlerror();
    void *sym = dlsym(handle, name);
    if (sym == nullptr) {
        if (missing->empty())
            *missing = name;
        return false;
    }
    slot = reinterpret_cast<Fn>(sym);
    return true;
}

// Takes an opened handle into use: all 13 functions or none.
bool Bind(void *handle, const std::string &from, std::string *why)
{
    ScsiIo table;
    std::string missing;
    bool ok = true;
    ok &= Resolve(handle, "QevScGetVersion", table.GetVersion, &missing);
    ok &= Resolve(handle, "QevScScanEx", table.ScanEx, &missing);
    ok &= Resolve(handle, "QevScLock", table.Lock, &missing);
    ok &= Resolve(handle, "QevScInquiry", table.Inquiry, &missing);
    ok &= Resolve(handle, "QevScReadBuffer", table.ReadBuffer, &missing);
    ok &= Resolve(handle, "QevScGetDriveInfo", table.GetDriveInfo, &missing);
    ok &= Resolve(handle, "QevScGetSlotStatus", table.GetSlotStatus, &missing);
    ok &= Resolve(handle, "QevScRead10", table.Read10, &missing);
    ok &= Resolve(handle, "QevScWrite10", table.Write10, &missing);
    ok &= Resolve(handle, "QevScEject", table.Eject, &missing);
    ok &= Resolve(handle, "QevScFormat", table.Format, &missing);
    ok &= Resolve(handle, "QevScFree", table.Free, &missing);
    ok &= Resolve(handle, "QevScFreeEx", table.FreeEx, &missing);
    if (!ok) {
        dlclose(handle);
        SetWhy(why, from + ": function " + missing + " is missing");
        return false;
    }
    libHandle = handle;
    Scsi = table;
    return true;
}

}  // namespace

bool LoadScsiLibraryFrom(const std::string &path, std::string *why)
{
    UnloadScsiLibrary();
    if (path.empty()) {
        SetWhy(why, "no library path given");
        return false;
    }
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *err = dlerror();
        SetWhy(why, err != nullptr ? err : path + ": cannot be loaded");
        return false;
    }
    return Bind(handle, path, why);
}

std::vector<std::string> InstalledLibraryCandidates(const std::string &exeDir)
{
    std::vector<std::string> out;
    if (exeDir.empty() || exeDir[0] != '/')
        return out;
    const std::string base = exeDir == "/" ? std::string() : exeDir;
    out.push_back(base + "/" + kLibraryFileName);
    // <prefix>/bin/program beside <prefix>/<libdir>/libqevcrdio.so.1, as any
    // install lays them out (the package's /usr, ~/.local, /opt/...).
    const std::string prefix = DirOf(exeDir);
    if (!prefix.empty()) {
        const std::string root = prefix == "/" ? std::string() : prefix;
#ifdef TVQ_LIBRARY_ARCHITECTURE
        if (TVQ_LIBRARY_ARCHITECTURE[0] != '\0')
            out.push_back(root + "/lib/" TVQ_LIBRARY_ARCHITECTURE "/" + kLibrarySoname);
#endif
        out.push_back(root + "/lib64/" + kLibrarySoname);
        out.push_back(root + "/lib/" + kLibrarySoname);
    }
    return out;
}

bool LoadScsiLibrary(std::string *why)
{
    UnloadScsiLibrary();
    // A library beside the program (the build folder), or in the library
    // folder of the program's own install, is the one meant: a broken one is
    // reported rather than silently replaced by another, older one found on
    // the system's search path.
    for (const std::string &path : InstalledLibraryCandidates(ExecutableDir())) {
        if (access(path.c_str(), F_OK) == 0)
            return LoadScsiLibraryFrom(path, why);
    }
    // Elsewhere: by soname through the system's search path; a development
    // library without version last.
    std::string firstError;
    for (const char *name : {kLibrarySoname, kLibraryFileName}) {
        void *handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
        if (handle != nullptr)
            return Bind(handle, name, why);
        const char *err = dlerror();
        if (firstError.empty())
            firstError = err != nullptr ? err : std::string(name) + ": not found";
    }
    SetWhy(why, firstError);
    return false;
}

std::string ScsiLibraryPath()
{
    if (libHandle == nullptr)
        return std::string();
    struct link_map *map = nullptr;
    if (dlinfo(libHandle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr)
        return std::string();
    char real[PATH_MAX];
    return realpath(map->l_name, real) != nullptr ? std::string(real) : std::string(map->l_name);
}

bool ScsiLibraryLoaded()
{
    return libHandle != nullptr;
}

void UnloadScsiLibrary()
{
    Scsi = ScsiIo();
    if (libHandle != nullptr) {
        dlclose(libHandle);
        libHandle = nullptr;
    }
}

bool ScsiGetVersion()
{
    if (Scsi.GetVersion == nullptr)
        return false;
    return Scsi.GetVersion(&LibVersion[0], &LibVersion[1]) != 0;
}
