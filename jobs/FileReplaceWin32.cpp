#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cctype>

#include "FileReplace.h"
#include "Messages.h"

namespace {

// CON, NUL, COM1 and the like name devices in every folder, with any extension.
bool NamesDevice(const std::string& path) {
    if (path.compare(0, 4, "\\\\.\\") == 0) return true;
    const size_t slash = path.find_last_of("\\/:");
    std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1);
    base = base.substr(0, base.find('.'));
    for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
    for (const char* device : kDevices) {
        if (base == device) return true;
    }
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           std::isdigit(static_cast<unsigned char>(base[3]));
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos) return ".";
    return path.substr(0, slash + 1);
}

}  // namespace

// The C library's rename refuses an existing target here; MoveFileEx replaces it. The A form
// reads the paths in the same code page as fopen.
bool PutFileInPlace(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool CheckOutputFile(const std::string& path, std::string* reason) {
    if (path.empty()) {
        *reason = kTargetNoName.Text();
        return false;
    }
    if (NamesDevice(path)) {
        *reason = kTargetDevice.Text();
        return false;
    }
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            *reason = kTargetFolder.Text();
            return false;
        }
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            *reason = kTargetReadOnly.Text();
            return false;
        }
        return true;
    }
    const DWORD folder = GetFileAttributesA(FolderOf(path).c_str());
    if (folder == INVALID_FILE_ATTRIBUTES || !(folder & FILE_ATTRIBUTE_DIRECTORY)) {
        *reason = kTargetNoFolder.Text();
        return false;
    }
    return true;
}

// CREATE_NEW refuses a name in use; the attributes a file may carry here (read-only) would
// keep the replacement from being written, so there is nothing of like's to copy.
FILE* CreateNewFile(const std::string& path, const std::string& /*like*/, bool* taken) {
    *taken = false;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        *taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        DeleteFileA(path.c_str());
        return nullptr;
    }
    FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) {
        _close(fd);
        DeleteFileA(path.c_str());
    }
    return file;
}

// Links are rare here and MoveFileEx replaces a link's target's name alike: the path as given.
std::string FollowLinks(const std::string& path) { return path; }
