// tests/e2e/powercut.cpp
#include "tests/e2e/powercut.h"

#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/common/tempdir.h"

namespace e2e {
namespace {

std::optional<std::string> Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void Spill(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// The directory and the name of a path relative to the payment directory.
std::pair<std::string, std::string> Split(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {path.substr(0, slash), path.substr(slash + 1)};
}

std::string Join(const std::string& dir, const std::string& name) { return dir == "." ? name : dir + "/" + name; }

// Regular files and directories of a directory, without "." and "..".
std::vector<std::pair<std::string, bool>> List(const std::string& dir) {
    std::vector<std::pair<std::string, bool>> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            struct stat st;
            if (lstat((dir + "/" + name).c_str(), &st) != 0) continue;
            if (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) out.push_back({name, S_ISDIR(st.st_mode)});
        }
        closedir(d);
    }
    return out;
}

// What a run changes at the top of the payment directory: its own
// directories and the response files, not the programs or the request.
bool Ours(const std::string& name, bool dir) {
    if (dir) return name == "DATA" || name == "LOG" || name == "TEMP";
    return name != "RAVORQ.XML";
}

}  // namespace

std::vector<FsStep> ReadSteps(const std::string& stepLog) {
    std::vector<FsStep> steps;
    std::istringstream in(Slurp(stepLog).value_or(""));
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        if (w.size() < 5) continue;
        FsStep s;
        s.number = atoi(w[0].c_str());
        s.fault = w[1] == "-" ? 0 : atoi(w[1].c_str());
        s.kind = w[2];
        s.path = w[3];
        if (w.size() > 5) s.to = w[4];
        s.hostBytes = static_cast<size_t>(atol(w.back().c_str()));
        s.content = Slurp(stepLog + "." + w[0]);
        steps.push_back(s);
    }
    return steps;
}

std::string Describe(const FsStep& step) {
    return std::to_string(step.number) + " " + step.kind + " " + step.path + (step.to.empty() ? "" : " " + step.to);
}

DirImage TakeImage(const std::string& pay) {
    DirImage image;
    for (const auto& top : List(pay)) {
        if (!Ours(top.first, top.second)) continue;
        if (!top.second) {
            image[top.first] = Slurp(pay + "/" + top.first).value_or("");
            continue;
        }
        image[top.first + "/"] = "";
        for (const auto& inner : List(pay + "/" + top.first)) {
            if (inner.second) continue;
            image[top.first + "/" + inner.first] = Slurp(pay + "/" + top.first + "/" + inner.first).value_or("");
        }
    }
    return image;
}

void PutImage(const std::string& pay, const DirImage& image) {
    for (const auto& top : List(pay)) {
        if (!Ours(top.first, top.second)) continue;
        if (top.second) RemoveTree(pay + "/" + top.first);
        else unlink((pay + "/" + top.first).c_str());
    }
    for (const auto& entry : image) {
        const std::string path = pay + "/" + entry.first;
        if (!entry.first.empty() && entry.first.back() == '/') mkdir(path.c_str(), 0777);
        else Spill(path, entry.second);
    }
}

struct PowerCutModel::State {
    struct Node {
        bool dir = false;
        std::string now;                    // the content as the process sees it
        std::optional<std::string> flushed;  // the content on the disk
    };
    std::vector<Node> nodes;
    // Directory -> name -> node, as the process sees them and as they are on the disk.
    std::map<std::string, std::map<std::string, size_t>> seen, kept;

    size_t Add(bool dir, const std::string& now, std::optional<std::string> flushed) {
        nodes.push_back(Node{dir, now, flushed});
        return nodes.size() - 1;
    }

    // The node a name stands for now; a file the picture missed is taken as an empty new one.
    size_t Find(const std::string& path) {
        auto where = Split(path);
        auto& names = seen[where.first];
        auto it = names.find(where.second);
        if (it != names.end()) return it->second;
        return names[where.second] = Add(false, "", std::nullopt);
    }

    void Walk(const std::map<std::string, std::map<std::string, size_t>>& dirs, const std::string& dir,
              bool durable, DirImage* out) const {
        auto d = dirs.find(dir);
        if (d == dirs.end()) return;
        for (const auto& entry : d->second) {
            const Node& node = nodes[entry.second];
            const std::string path = Join(dir, entry.first);
            if (node.dir) {
                (*out)[path + "/"] = "";
                Walk(dirs, path, durable, out);
            } else {
                (*out)[path] = durable ? node.flushed.value_or("") : node.now;
            }
        }
    }
};

PowerCutModel::PowerCutModel(const DirImage& before) : m_state(new State) {
    State& s = *m_state;
    s.seen["."];
    s.kept["."];
    // A directory's own entry sorts before everything in it.
    for (const auto& entry : before) {
        const bool dir = !entry.first.empty() && entry.first.back() == '/';
        const std::string path = dir ? entry.first.substr(0, entry.first.size() - 1) : entry.first;
        auto where = Split(path);
        size_t node = s.Add(dir, entry.second, entry.second);
        s.seen[where.first][where.second] = node;
        s.kept[where.first][where.second] = node;
        if (dir) {
            s.seen[path];
            s.kept[path];
        }
    }
}

PowerCutModel::~PowerCutModel() = default;

void PowerCutModel::Apply(const FsStep& step) {
    State& s = *m_state;
    auto where = Split(step.path);
    const std::string content = step.content.value_or("");
    if (step.kind == "mkdir") {
        s.seen[where.first][where.second] = s.Add(true, "", std::nullopt);
        s.seen[step.path];
    } else if (step.kind == "create") {
        s.seen[where.first][where.second] = s.Add(false, content, std::nullopt);
    } else if (step.kind == "write" || step.kind == "truncate") {
        if (step.content) s.nodes[s.Find(step.path)].now = content;
    } else if (step.kind == "fsync" || step.kind == "fdatasync") {
        size_t node = s.Find(step.path);
        if (step.content) s.nodes[node].now = content;
        s.nodes[node].flushed = s.nodes[node].now;
    } else if (step.kind == "dirsync") {
        s.kept[step.path] = s.seen[step.path];
    } else if (step.kind == "rename") {
        size_t node = s.Find(step.path);
        s.seen[where.first].erase(where.second);
        auto target = Split(step.to);
        s.seen[target.first][target.second] = node;
    } else if (step.kind == "unlink") {
        s.seen[where.first].erase(where.second);
    }
}

DirImage PowerCutModel::Durable() const {
    DirImage out;
    m_state->Walk(m_state->kept, ".", true, &out);
    return out;
}

DirImage PowerCutModel::InOrder() const {
    DirImage out;
    m_state->Walk(m_state->seen, ".", false, &out);
    return out;
}

}  // namespace e2e
