// tests/common/tempdir.cpp
#include "tests/common/tempdir.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

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
    std::string cmd = "chattr -R -i '" + m_path + "' 2>/dev/null; chmod -R u+rwx '" + m_path + "' 2>/dev/null; rm -rf '" + m_path + "'";
    if (system(cmd.c_str()) != 0) {
    }
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
