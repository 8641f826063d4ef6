// tests/common/tempdir.cpp
#include "tests/common/tempdir.h"

#include <fcntl.h>
#include <ftw.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

const std::string& TestScratchRoot() {
    static const std::string root = [] {
        // A gigabyte free: a small /dev/shm (a container's 64 MB) is left alone.
        const unsigned long long kRoom = 1ull << 30;
        struct statfs fs;
        if (statfs("/dev/shm", &fs) == 0 && fs.f_type == TMPFS_MAGIC && access("/dev/shm", W_OK | X_OK) == 0 &&
            static_cast<unsigned long long>(fs.f_bavail) * static_cast<unsigned long long>(fs.f_bsize) >= kRoom)
            return std::string("/dev/shm");
        const char* tmp = getenv("TMPDIR");
        return std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp");
    }();
    return root;
}

TempDir::TempDir(bool enter) : m_entered(enter) {
    char tmpl[] = "/tmp/ravo-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
    chmod(m_path.c_str(), 0777);
    if (m_entered) {
        char cwd[4096];
        m_saved = getcwd(cwd, sizeof(cwd)) ? cwd : "/";
        if (chdir(m_path.c_str()) != 0) throw std::runtime_error("chdir failed");
    }
}

TempDir::~TempDir() {
    if (m_entered && chdir(m_saved.c_str()) != 0) {
    }
    RemoveTree(m_path);
}

// A test may leave a file immutable or a folder read-only: both are undone
// on the way down so that the removal after it finds nothing in its way.
static int aux_Unlock(const char* path, const struct stat* st, int type, struct FTW*) {
    if (type == FTW_D || type == FTW_DNR) chmod(path, (st->st_mode & 07777) | S_IRWXU);
    if (type == FTW_F || type == FTW_D || type == FTW_DNR) {
        int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            int flags = 0;
            if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL) != 0) {
                flags &= ~FS_IMMUTABLE_FL;
                ioctl(fd, FS_IOC_SETFLAGS, &flags);
            }
            close(fd);
        }
    }
    return 0;
}

static int aux_Remove(const char* path, const struct stat*, int type, struct FTW*) {
    if (type == FTW_DP) rmdir(path);
    else unlink(path);
    return 0;
}

void RemoveTree(const std::string& path) {
    if (path.empty()) return;
    nftw(path.c_str(), aux_Unlock, 16, FTW_PHYS);
    nftw(path.c_str(), aux_Remove, 16, FTW_PHYS | FTW_DEPTH);
}

void TempDir::write(const std::string& name, const std::string& text) const {
    std::string full = file(name);
    for (size_t pos = full.find('/', m_path.size() + 1); pos != std::string::npos; pos = full.find('/', pos + 1)) {
        mkdir(full.substr(0, pos).c_str(), 0777);
    }
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string TempDir::read(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool TempDir::exists(const std::string& name) const { return access(file(name).c_str(), F_OK) == 0; }
