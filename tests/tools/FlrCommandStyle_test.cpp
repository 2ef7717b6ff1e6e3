// One command style for flr: the old spellings still do what the new ones do,
// and every --json output is valid JSON that carries odd names intact.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace {

using Args = std::vector<std::string>;

// A strict reader of one JSON value: RFC 8259 grammar, strings valid UTF-8
// without raw control characters. Decoded strings are kept, so a test can
// see that a name came through.
class JsonCheck {
  public:
    explicit JsonCheck(const std::string& text) : t_(text) {}

    bool valid() {
        skip();
        if (!value()) return false;
        skip();
        return i_ == t_.size();
    }
    const std::vector<std::string>& strings() const { return strings_; }

  private:
    void skip() {
        while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\n')) ++i_;
    }
    bool eat(char c) {
        skip();
        if (i_ >= t_.size() || t_[i_] != c) return false;
        ++i_;
        return true;
    }
    bool word(const char* w) {
        const std::string s(w);
        if (t_.compare(i_, s.size(), s) != 0) return false;
        i_ += s.size();
        return true;
    }
    bool value() {
        skip();
        if (i_ >= t_.size()) return false;
        const char c = t_[i_];
        if (c == '{') return container('}', true);
        if (c == '[') return container(']', false);
        if (c == '"') return string();
        if (c == 't') return word("true");
        if (c == 'f') return word("false");
        if (c == 'n') return word("null");
        return number();
    }
    bool container(char close, bool object) {
        ++i_;
        if (eat(close)) return true;
        do {
            if (object && !(skipThen() && string() && eat(':'))) return false;
            if (!value()) return false;
        } while (eat(','));
        return eat(close);
    }
    bool skipThen() {
        skip();
        return i_ < t_.size() && t_[i_] == '"';
    }
    bool number() {
        const size_t start = i_;
        if (i_ < t_.size() && t_[i_] == '-') ++i_;
        const size_t digits = i_;
        while (i_ < t_.size() && isdigit(static_cast<unsigned char>(t_[i_]))) ++i_;
        if (i_ == digits || (t_[digits] == '0' && i_ - digits > 1)) return false;
        if (i_ < t_.size() && t_[i_] == '.') {
            const size_t frac = ++i_;
            while (i_ < t_.size() && isdigit(static_cast<unsigned char>(t_[i_]))) ++i_;
            if (i_ == frac) return false;
        }
        return i_ > start;
    }
    static void put(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    bool string() {
        ++i_;
        std::string out;
        while (i_ < t_.size()) {
            const unsigned char c = static_cast<unsigned char>(t_[i_]);
            if (c == '"') {
                ++i_;
                strings_.push_back(out);
                return true;
            }
            if (c < 0x20) return false;
            if (c == '\\') {
                if (++i_ >= t_.size()) return false;
                const char e = t_[i_++];
                const std::string simple = "\"\\/bfnrt", meant = "\"\\/\b\f\n\r\t";
                if (simple.find(e) != std::string::npos) {
                    out += meant[simple.find(e)];
                    continue;
                }
                if (e != 'u' || i_ + 4 > t_.size()) return false;
                unsigned cp = 0;
                for (int k = 0; k < 4; ++k) {
                    const char h = t_[i_++];
                    if (!isxdigit(static_cast<unsigned char>(h))) return false;
                    cp = cp * 16 +
                         static_cast<unsigned>(isdigit(h) ? h - '0' : (h | 0x20) - 'a' + 10);
                }
                put(out, cp);
                continue;
            }
            const size_t n = c < 0x80             ? 1
                             : (c & 0xE0) == 0xC0 ? 2
                             : (c & 0xF0) == 0xE0 ? 3
                             : (c & 0xF8) == 0xF0 ? 4
                                                  : 0;
            if (n == 0 || i_ + n > t_.size()) return false;
            for (size_t k = 1; k < n; ++k)
                if ((static_cast<unsigned char>(t_[i_ + k]) & 0xC0) != 0x80) return false;
            out.append(t_, i_, n);
            i_ += n;
        }
        return false;
    }

    const std::string& t_;
    size_t i_ = 0;
    std::vector<std::string> strings_;
};

// Every line of a --json output is one JSON value; the strings of all of them.
::testing::AssertionResult jsonLines(const std::string& out, std::vector<std::string>* strings) {
    size_t lines = 0;
    for (size_t at = 0; at < out.size();) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos)
            return ::testing::AssertionFailure() << "no newline after the last value: " << out;
        const std::string line = out.substr(at, end - at);
        JsonCheck check(line);
        if (!check.valid()) return ::testing::AssertionFailure() << "not JSON: " << line;
        strings->insert(strings->end(), check.strings().begin(), check.strings().end());
        ++lines;
        at = end + 1;
    }
    if (lines == 0) return ::testing::AssertionFailure() << "no output";
    return ::testing::AssertionSuccess();
}

bool holds(const std::vector<std::string>& strings, const std::string& s) {
    for (const std::string& x : strings)
        if (x == s) return true;
    return false;
}

// A registry with a configuration whose names hold a quote, a tab and a byte
// that is not UTF-8, and a tree with such a name.
struct StyleFixture {
    flrtest::TempDir dir;
    flrtest::ScopedRegistry reg;
    Args env{"FLR_REGISTRY=" + reg.path()};
    // What the odd byte 0xff reads back as: U+00FF.
    const std::string odd = "a\"b\tc\xff", oddRead = "a\"b\tc\xc3\xbf";

    flrtest::ToolRun flr(const Args& args, const Args& extraEnv = {}) {
        Args e = env;
        e.insert(e.end(), extraEnv.begin(), extraEnv.end());
        return flrtest::runTool(args, {}, e);
    }

    void configure() {
        const Args steps[] = {
            // `dirs` makes the pair folders it names under the install folder.
            {"registry", "set", "Platform", "dInstall", dir.file("install")},
            {"config", "client", "add", "head"},
            {"config", "client", "add", "tail"},
            {"config", "client", "add", "spare"},
            {"config", "set", "add", "web", "--client", "head", "--dest", "tail"},
            {"config", "set", "add", "old", "--client", "head", "--dest", "tail"},
            {"config", "pair", "add", "--set", "web", "/srv/" + odd, "/rep/www"},
            {"config", "pair", "add", "--set", "web", "/srv/two", "/rep/two"},
            {"config", "filter", "add", "--set", "web", odd},
            {"config", "filter", "add", "--set", "web", "tmp"},
            {"registry", "set", "Test", "sName1", "one"},
            {"registry", "set", "Test", "sName2", "two"},
        };
        for (const Args& s : steps) {
            const auto r = flr(s);
            ASSERT_EQ(0, r.status) << s[1] << " " << s[2] << ": " << r.err;
        }
    }
};

TEST(FlrCommandStyle, OldSpellingsPrintWhatTheNewOnesPrint) {
    FLR_REQUIRE_TOOL();
    StyleFixture f;
    ASSERT_NO_FATAL_FAILURE(f.configure());
    const struct {
        Args old, now;
    } cases[] = {
        {{"config", "client", "list"}, {"config", "client", "ls"}},
        {{"config", "client", "list", "--json"}, {"config", "client", "ls", "--json"}},
        {{"config", "set", "list"}, {"config", "set", "ls"}},
        {{"config", "pair", "list", "--set", "web"}, {"config", "pair", "ls", "--set", "web"}},
        {{"config", "pair", "list", "--json"}, {"config", "pair", "ls", "--json"}},
        {{"config", "filter", "list", "--set", "web"}, {"config", "filter", "ls", "--set", "web"}},
        {{"dirs", "7", "myhost"}, {"dirs", "--pair", "7", "myhost"}},
        // A usage error is the same error under either name.
        {{"config", "pair", "list", "--set"}, {"config", "pair", "ls", "--set"}},
    };
    for (const auto& c : cases) {
        const auto old = f.flr(c.old), now = f.flr(c.now);
        EXPECT_EQ(old.status, now.status) << c.old[1] << " " << c.old[2];
        EXPECT_EQ(old.out, now.out) << c.old[1] << " " << c.old[2];
        EXPECT_FALSE(now.out.empty() && now.status == 0) << c.now[1] << " printed nothing";
    }
    // The aliases stay out of the help a person reads.
    const std::string help = f.flr({"config", "pair", "--help"}).out;
    EXPECT_NE(help.find(" ls "), std::string::npos) << help;
    EXPECT_EQ(help.find("list"), std::string::npos) << help;
    EXPECT_EQ(f.flr({"head", "seq", "--help"}).out.find("--set"), std::string::npos);
}

TEST(FlrCommandStyle, OldRemovalSpellingsRemoveWhatTheNewOnesRemove) {
    FLR_REQUIRE_TOOL();
    // Each removal in two registries configured alike, one spelling in each:
    // what is left must be the same.
    const struct {
        Args old, now, check;
    } cases[] = {
        {{"config", "client", "remove", "spare"},
         {"config", "client", "rm", "spare"},
         {"config", "client", "ls"}},
        {{"config", "set", "remove", "old"},
         {"config", "set", "rm", "old"},
         {"config", "set", "ls"}},
        {{"config", "pair", "remove", "3"},
         {"config", "pair", "rm", "3"},
         {"config", "pair", "ls"}},
        {{"config", "filter", "remove", "--set", "web", "tmp"},
         {"config", "filter", "rm", "--set", "web", "tmp"},
         {"config", "filter", "ls", "--set", "web"}},
        {{"registry", "delete", "Test", "sName1"},
         {"registry", "rm", "Test", "sName1"},
         {"registry", "get", "Test", "sName1"}},
    };
    for (const auto& c : cases) {
        std::string left[2];
        int status[2] = {-1, -1};
        for (int k = 0; k < 2; ++k) {
            StyleFixture f;
            ASSERT_NO_FATAL_FAILURE(f.configure());
            const std::string before = f.flr(c.check).out;
            const auto r = f.flr(k ? c.now : c.old);
            EXPECT_EQ(0, r.status) << c.now[1] << " " << c.now[2] << ": " << r.err;
            left[k] = f.flr(c.check).out;
            status[k] = f.flr(c.check).status;
            EXPECT_NE(before, left[k]) << c.now[1] << " " << c.now[2] << " removed nothing";
        }
        EXPECT_EQ(left[0], left[1]) << c.now[1] << " " << c.now[2];
        EXPECT_EQ(status[0], status[1]) << c.now[1] << " " << c.now[2];
    }
}

TEST(FlrCommandStyle, EveryJsonOutputIsValidAndCarriesOddNamesIntact) {
    FLR_REQUIRE_TOOL();
    StyleFixture f;
    ASSERT_NO_FATAL_FAILURE(f.configure());
    const std::string src = f.dir.file("src"), dst = f.dir.file("dst");
    const std::string cache = f.dir.file("cache"), state = f.dir.file("state");
    // A mount table separates its fields by blanks: no tab in this name.
    flrtest::writeFile(f.dir.file("mounts"),
                       "/dev/root / ext4 rw 0 0\n/dev/q\"\xff /data xfs ro,noatime 0 0\n");
    flrtest::writeFile(f.dir.file("collect"), "/c/" + f.odd + "\n");
    for (const std::string& d : {src, dst, cache, state})
        ASSERT_EQ(0, system(("mkdir -p '" + d + "'").c_str()));
    flrtest::writeFile(src + "/" + f.odd, "content");
    ASSERT_EQ(0, f.flr({"stub", "encode", f.odd, "-o", f.dir.file("stub")}).status);
    ASSERT_EQ(0, f.flr({"journal", "gen", f.dir.file("jrn"), "--count", "20"}).status);

    const struct {
        Args args;
        std::string carries;  // a string the output must hold, decoded; empty: none
    } cases[] = {
        {{"config", "client", "ls", "--json"}, "head"},
        {{"config", "set", "ls", "--json"}, "web"},
        {{"config", "pair", "ls", "--json"}, "/srv/" + f.oddRead},
        {{"config", "filter", "ls", "--set", "web", "--json"}, f.oddRead},
        {{"dirs", "--pair", "7", "myhost", "--json"}, ""},
        {{"mounts", "--table", f.dir.file("mounts"), "--json"}, "/dev/q\"\xc3\xbf"},
        {{"mounts", "--table", f.dir.file("mounts"), "/data", "--json"}, "/dev/q\"\xc3\xbf"},
        {{"collect", "print", f.dir.file("collect"), "--json"}, "/c/" + f.oddRead},
        {{"stub", "decode", f.dir.file("stub"), "--json"}, f.oddRead},
        {{"journal", "stats", f.dir.file("jrn"), "--json"}, "raw"},
        {{"cache", "ls", cache, "--json"}, ""},
        {{"cache", "verify", cache, "--json"}, ""},
        {{"replicate", "-q", "--json", "--state-dir", state, src, dst}, ""},
        {{"replicate", "-n", "--json", "--state-dir", state, src, f.dir.file("dry")}, f.oddRead},
        {{"verify", src, dst, "--json"}, ""},
        {{"status", "--state-dir", state, "--json"}, ""},
        {{"pair", "--state-dir", state, "ls", "--json"}, ""},
        {{"snap", "todo", "--json"}, ""},
    };
    for (const auto& c : cases) {
        const auto r = f.flr(c.args);
        EXPECT_EQ(0, r.status) << c.args[0] << " " << c.args[1] << ": " << r.err;
        std::vector<std::string> strings;
        EXPECT_TRUE(jsonLines(r.out, &strings)) << c.args[0] << " " << c.args[1];
        if (!c.carries.empty()) {
            EXPECT_TRUE(holds(strings, c.carries))
                << c.args[0] << " " << c.args[1] << ": " << r.out;
        }
    }
}

TEST(FlrCommandStyle, LbfsDatabaseAsJsonNamesEveryFile) {
    FLR_REQUIRE_TOOL();
    StyleFixture f;
    const std::string src = f.dir.file("src"), state = f.dir.file("state");
    ASSERT_EQ(0, system(("mkdir -p '" + src + "/sub'").c_str()));
    flrtest::writeFile(src + "/sub/" + f.odd, std::string(200000, 'x'));
    const auto rep = f.flr(
        {"replicate", "-q", "--method", "lbfs", "--state-dir", state, src, f.dir.file("dst")});
    ASSERT_EQ(0, rep.status) << rep.err;
    std::string store;
    for (const auto& e : std::filesystem::recursive_directory_iterator(state))
        if (e.path().filename() == "FlrLBFSTreeDB.dat") store = e.path().parent_path();
    ASSERT_FALSE(store.empty()) << "no LBFS database under " << state;
    for (const Args& args :
         {Args{"db", "lbfs", store, "--json"}, Args{"db", "lbfs", store, "--json", "--blocks"}}) {
        const auto r = f.flr(args);
        ASSERT_EQ(0, r.status) << r.err;
        std::vector<std::string> strings;
        EXPECT_TRUE(jsonLines(r.out, &strings));
        EXPECT_TRUE(holds(strings, "sub")) << r.out;
        EXPECT_TRUE(holds(strings, f.oddRead)) << r.out;
        // The totals come last and count what the lines before listed.
        EXPECT_NE(r.out.find("{\"files\":1,\"directories\":1,"), std::string::npos) << r.out;
    }
}

TEST(FlrCommandStyle, JsonCheckRefusesWhatIsNotJson) {
    // The check above would pass anything if it accepted these.
    const char* bad[] = {"{\"a\":1,}", "{\"a\" 1}",  "[1 2]",      "\"a\tb\"",
                         "\"a\xff\"",  "{\"a\":01}", "\"\\x41\"",  "{\"a\":tru}",
                         "[\"a\"]]",   "{a:1}",      "\"unclosed", ""};
    for (const char* text : bad) EXPECT_FALSE(JsonCheck(text).valid()) << text;
    const std::string good = "{\"a\":[1,-2.5,true,null,\"\\u00ff\\\"\"],\"b\":{}}";
    JsonCheck check(good);
    ASSERT_TRUE(check.valid());
    EXPECT_TRUE(holds(check.strings(), "\xc3\xbf\""));
}

}  // namespace
