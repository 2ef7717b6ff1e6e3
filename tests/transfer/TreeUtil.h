#pragma once
// Trees for the transfer tests: random content, a comparable description of
// a tree, and its entries in collect order.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "FLR/FlrTreeVerify.h"
#include "apply/TailApplyFixture.h"
#include "scan/FlrCollectText.h"
#include "support/TestSupport.h"

namespace treeutil {

inline std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

// The differences between two trees (names, types, sizes, modes, contents,
// link targets, modification times), one per line; empty when they match.
inline std::string differences(const std::string& src, const std::string& dst) {
    FlrTreeVerifyOptions options;
    options.mtimes = true;
    std::string out;
    for (const FlrTreeDiff& d : FlrTreeVerify(options).compare(src, dst).diffs)
        out += d.path + ": " + d.what + "\n";
    return out;
}

// The entries of a tree in collect order: contents before their folder.
inline void collectLines(const std::string& root, const std::string& rel, std::string& out) {
    DIR* d = ::opendir((root + rel).c_str());
    ASSERT_NE(nullptr, d);
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.push_back(e->d_name);
    ::closedir(d);
    for (const std::string& n : names) {
        const std::string r = rel + "/" + n;
        struct stat st {};
        ASSERT_EQ(0, ::lstat((root + r).c_str(), &st));
        if (S_ISDIR(st.st_mode)) collectLines(root, r, out);
        out += FlrCollectText::escape(root + r) + "\n";
    }
}

// Stops the tail and returns its counts once every session has ended (a
// session adds its counts as it ends).
inline FlrTailApplyStats stopped(std::unique_ptr<tailtest::Tail> tail) {
    std::unique_ptr<FlrTailApplier> applier = std::move(tail->applier);
    tail.reset();
    return applier->totals();
}

}  // namespace treeutil
