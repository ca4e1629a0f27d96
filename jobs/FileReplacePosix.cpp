#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "FileReplace.h"
#include "Messages.h"

namespace {

// The write bit that applies to this user, by the mode alone (root passes access()).
bool ModeAllowsWriting(const struct stat& st) {
    if (geteuid() == 0) return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
    return true;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

// rename replaces the target in one step, so the target is never missing.
bool PutFileInPlace(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool CheckOutputFile(const std::string& path, std::string* reason) {
    if (path.empty()) {
        *reason = kTargetNoName.Text();
        return false;
    }
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        const Message* refusal = nullptr;
        if (S_ISDIR(st.st_mode)) {
            refusal = &kTargetFolder;
        } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
            refusal = &kTargetDevice;
        } else if (S_ISFIFO(st.st_mode)) {
            refusal = &kTargetFifo;
        } else if (S_ISSOCK(st.st_mode)) {
            refusal = &kTargetSocket;
        } else if (!S_ISREG(st.st_mode)) {
            refusal = &kTargetNotFile;
        } else if (!ModeAllowsWriting(st) || access(path.c_str(), W_OK) != 0) {
            refusal = &kTargetReadOnly;
        }
        if (refusal != nullptr) {
            *reason = refusal->Text();
            return false;
        }
    } else if (errno != ENOENT) {
        *reason = kTargetUnreadable.Text();
        return false;
    }
    // The new file, and the temporary one beside it, go into the folder of the real file.
    const std::string folder = FolderOf(FollowLinks(path));
    struct stat dir;
    if (stat(folder.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode)) {
        *reason = kTargetNoFolder.Text();
        return false;
    }
    if (!ModeAllowsWriting(dir) || access(folder.c_str(), W_OK | X_OK) != 0) {
        *reason = kTargetFolderReadOnly.Text();
        return false;
    }
    return true;
}

FILE* CreateNewFile(const std::string& path, const std::string& like, bool* taken) {
    *taken = false;
    // O_EXCL: a link planted at the name is not followed, and nothing there is overwritten.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        *taken = errno == EEXIST;
        return nullptr;
    }
    struct stat old;
    if (stat(like.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        (void)fchmod(fd, old.st_mode & 07777);  // best effort: the bytes matter more
    }
    FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        close(fd);
        unlink(path.c_str());
    }
    return file;
}

std::string FollowLinks(const std::string& path) {
    std::string current = path;
    // As many hops as the system allows before it calls it a loop.
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        char* real = realpath(current.c_str(), nullptr);
        if (real != nullptr) {
            std::string resolved = real;
            std::free(real);
            return resolved;
        }
        // A link to a file not made yet: the file it names is the one to make.
        char target[PATH_MAX];
        const ssize_t length = readlink(current.c_str(), target, sizeof target - 1);
        if (length <= 0) return path;
        const std::string next(target, static_cast<size_t>(length));
        current = next[0] == '/' ? next : FolderOf(current) + "/" + next;
    }
    return path;
}
