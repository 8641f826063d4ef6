// tests/common/tempdir.h
// A fresh temporary directory that a test works in; removed afterwards.
#pragma once
#include <string>

class TempDir {
public:
    // Makes the directory; with enter set, makes it the current directory until destruction.
    explicit TempDir(bool enter = true);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    // Path of a file below the directory.
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    // Writes text as the file name (relative to the directory), making parent folders.
    void write(const std::string& name, const std::string& text) const;
    // The whole content of the file name, or "" when missing.
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;

private:
    std::string m_path;
    std::string m_saved;
    bool m_entered;
};

// Removes path and everything below it, immutable files and read-only folders included.
void RemoveTree(const std::string& path);

// The folder the end-to-end payment directories are made in: /dev/shm when it
// is a memory file system with room to spare (a payment flushes its records
// dozens of times, which costs real disk writes elsewhere; what a flush makes
// durable is judged by the crash-point shim's model, not by the disk), else
// TMPDIR or /tmp. A TempDir stays in /tmp: the unit tests keep the disk's pace.
const std::string& TestScratchRoot();
