// tests/e2e/powercut.h
// What a power cut leaves of a payment directory. The crash-point shim lists
// the file-system steps of a run (creates, writes, truncates, flushes of
// files and directories, renames, unlinks, mkdir) with the content each step
// left in its file; the model replays them on a picture of the directory
// taken before the run and tells, after any step, what survives a power
// cut: only flushed contents under names whose directory was flushed since
// they were made (a name made and never flushed is gone, a rename not
// flushed leaves the old name's file, a file whose name survived but whose
// content was never flushed is empty) and, beside it, everything done so far
// (what a kill at that point leaves).
#pragma once
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

// One step as the shim listed it.
struct FsStep {
    int number = 0;
    int fault = 0;          // its number among the calls an I/O error can hit, 0 for the others
    std::string kind;       // create write truncate fsync fdatasync dirsync rename unlink mkdir
    std::string path;       // relative to the payment directory; "." is the directory itself
    std::string to;         // a rename's new name
    size_t hostBytes = 0;   // the host trace's length when the step began
    std::optional<std::string> content;  // the file's content after the step
};

// The steps of a run from the shim's log (RunResult::stepLog).
std::vector<FsStep> ReadSteps(const std::string& stepLog);
std::string Describe(const FsStep& step);

// The state the runs change: DATA/, LOG/, TEMP/ and the response files, as
// path -> content; a directory is listed as "DIR/" with no content.
typedef std::map<std::string, std::string> DirImage;
DirImage TakeImage(const std::string& pay);
// Replaces that state in the payment directory pay with image.
void PutImage(const std::string& pay, const DirImage& image);

class PowerCutModel {
public:
    explicit PowerCutModel(const DirImage& before);
    ~PowerCutModel();
    void Apply(const FsStep& step);
    // What survives a power cut now.
    DirImage Durable() const;
    // Everything done so far.
    DirImage InOrder() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace e2e
