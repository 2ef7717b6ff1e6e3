#include "platform/JxACL.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "support/TestSupport.h"

namespace {

using JxACL::Acl;
using JxACL::Entry;
using Bytes = std::vector<unsigned char>;

// user::rw-, user:1000:r--, group::r--, mask::r--, other::---
Acl namedUserAcl() {
    Acl a;
    a.hasAccess = true;
    a.access = {{JxACL::TAG_USER_OBJ, 6, 0},
                {JxACL::TAG_USER, 4, 1000},
                {JxACL::TAG_GROUP_OBJ, 4, 0},
                {JxACL::TAG_MASK, 4, 0},
                {JxACL::TAG_OTHER, 0, 0}};
    return a;
}

std::string reasonOf(const Bytes& form) {
    try {
        JxACL::decode(form.data(), form.size());
    } catch (const JxException& e) {
        EXPECT_EQ(e.getFunction(), "JxACL::decode");
        return e.getMessage();
    }
    return "(accepted)";
}

TEST(JxACLForm, EncodesToTheDocumentedBytesAndBack) {
    const Bytes form = JxACL::encode(namedUserAcl());
    const Bytes expected = {1, 1,                    // version, one section
                            1, 0, 5,                 // access, five entries
                            1, 6, 0, 0, 0,    0,     // user::rw-
                            2, 4, 0, 0, 0x03, 0xe8,  // user:1000:r--
                            3, 4, 0, 0, 0,    0,     // group::r--
                            5, 4, 0, 0, 0,    0,     // mask::r--
                            6, 0, 0, 0, 0,    0};    // other::---
    EXPECT_EQ(form, expected);
    EXPECT_EQ(JxACL::decode(form.data(), form.size()), namedUserAcl());
    EXPECT_EQ(JxACL::toText(form.data(), form.size()),
              "access: user::rw-,user:1000:r--,group::r--,mask::r--,other::---");

    // Entries given out of order come out sorted; a default-only ACL keeps its section.
    Acl shuffled = namedUserAcl();
    std::swap(shuffled.access[0], shuffled.access[4]);
    shuffled.hasDefault = true;
    shuffled.defaults = {
        {JxACL::TAG_OTHER, 5, 0}, {JxACL::TAG_GROUP_OBJ, 5, 0}, {JxACL::TAG_USER_OBJ, 7, 0}};
    const Bytes both = JxACL::encode(shuffled);
    const Acl back = JxACL::decode(both.data(), both.size());
    EXPECT_EQ(back.access, namedUserAcl().access);
    EXPECT_EQ(back.defaults.front().tag, JxACL::TAG_USER_OBJ);
    EXPECT_EQ(JxACL::encode(back), both);

    EXPECT_TRUE(JxACL::encode(Acl{}).empty());
    EXPECT_EQ(JxACL::decode(nullptr, 0), Acl{});
    EXPECT_EQ(JxACL::toText(nullptr, 0), "(mode only)");
}

TEST(JxACLForm, DecoderRefusesMalformedInputWithAReason) {
    const Bytes good = JxACL::encode(namedUserAcl());
    auto with = [&](size_t at, unsigned char v) {
        Bytes b = good;
        b[at] = v;
        return b;
    };
    Bytes trailing = good;
    trailing.push_back(0);
    Bytes twoAccess = good;
    twoAccess[1] = 2;
    twoAccess.insert(twoAccess.end(), good.begin() + 2, good.end());
    const struct {
        Bytes form;
        const char* reason;
    } cases[] = {
        {{1}, "truncated header"},
        {with(0, 2), "unknown version 2"},
        {with(1, 0), "section count 0"},
        {with(1, 3), "section count 3"},
        {with(2, 3), "unknown or repeated section kind 3"},
        {twoAccess, "unknown or repeated section kind 1"},
        {with(4, 2), "entry count 2 outside"},
        {with(3, 0x20), "entry count 8197 outside"},
        {with(4, 6), "entries run past the end"},
        {trailing, "1 trailing bytes"},
        {with(5, 7), "unknown tag 7"},
        {with(6, 8), "permissions 8 above 7"},
        {with(10, 1), "id 1 on an unnamed entry"},
        {with(17, 1), "entries out of order or repeated"},
        {with(23, 3), "entries out of order or repeated"},
        {with(23, 4), "named entries without a mask"},
    };
    for (const auto& c : cases) {
        const std::string why = reasonOf(c.form);
        EXPECT_NE(why.find("Malformed ACL form: "), std::string::npos) << why;
        EXPECT_NE(why.find(c.reason), std::string::npos)
            << "want \"" << c.reason << "\", got " << why;
        EXPECT_EQ(JxACL::toText(c.form.data(), c.form.size()).rfind("(invalid ACL form: ", 0), 0u);
    }
    // Every cut of a valid form is refused without reading past the cut: the
    // copy is exactly as long as the cut, so a sanitizer sees any overread.
    for (size_t n = 1; n < good.size(); ++n) {
        const Bytes cut(good.begin(), good.begin() + static_cast<long>(n));
        EXPECT_NE(reasonOf(cut), "(accepted)") << n;
    }
}

TEST(JxACLForm, EncoderRefusesWhatLibaclWouldNotSet) {
    Acl noOther = namedUserAcl();
    noOther.access.pop_back();
    Acl noMask = namedUserAcl();
    noMask.access.erase(noMask.access.begin() + 3);
    Acl sameUserTwice = namedUserAcl();
    sameUserTwice.access.push_back({JxACL::TAG_USER, 6, 1000});
    for (const Acl& bad : {noOther, noMask, sameUserTwice})
        EXPECT_THROW(JxACL::encode(bad), JxException);
}

// --- on a real file system ------------------------------------------------

class JxACLFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        probe_ = dir_.file("probe");
        flrtest::writeFile(probe_, "x");
        if (setText(probe_, "u::rw-,u:1000:r--,g::r--,m::r--,o::---") != 0 && errno == ENOTSUP)
            GTEST_SKIP() << "the temp file system has no ACL support";
    }

    static int setText(const std::string& path, const char* text,
                       acl_type_t type = ACL_TYPE_ACCESS) {
        acl_t acl = acl_from_text(text);
        if (acl == nullptr) return -1;
        const int r = acl_set_file(path.c_str(), type, acl);
        const int saved = errno;
        acl_free(acl);
        errno = saved;
        return r;
    }

    static std::string textOf(const std::string& path, acl_type_t type = ACL_TYPE_ACCESS) {
        acl_t acl = acl_get_file(path.c_str(), type);
        if (acl == nullptr) return "(error)";
        char* t = acl_to_any_text(acl, nullptr, ',', TEXT_NUMERIC_IDS);
        std::string s = t ? t : "";
        acl_free(t);
        acl_free(acl);
        return s;
    }

    static mode_t modeOf(const std::string& path) {
        struct stat st;
        EXPECT_EQ(lstat(path.c_str(), &st), 0);
        return st.st_mode & 07777;
    }

    std::string mkdirIn(const std::string& name) {
        const std::string p = dir_.file(name);
        EXPECT_EQ(mkdir(p.c_str(), 0755), 0);
        return p;
    }

    flrtest::TempDir dir_;
    std::string probe_;
    JxACL::Helper helper_;
};

TEST_F(JxACLFiles, ModeOnlyFilesGiveAnEmptyForm) {
    const std::string plain = dir_.file("plain");
    flrtest::writeFile(plain, "data");
    EXPECT_TRUE(helper_.get(plain).empty());
    EXPECT_TRUE(helper_.get(mkdirIn("d")).empty());
    EXPECT_TRUE(JxACL::Helper::supported());
}

TEST_F(JxACLFiles, AccessAclTravelsToAnotherFileWithItsModeBits) {
    const Bytes form = helper_.get(probe_);
    EXPECT_EQ(JxACL::decode(form.data(), form.size()), namedUserAcl());

    const std::string copy = dir_.file("copy");
    flrtest::writeFile(copy, "y");
    ASSERT_EQ(chmod(copy.c_str(), 0777), 0);
    helper_.apply(copy, form.data(), form.size());
    EXPECT_EQ(textOf(copy), textOf(probe_));
    EXPECT_EQ(modeOf(copy), 0640u);  // owner rw, mask r (shown as group), other none
    EXPECT_EQ(helper_.get(copy), form);

    // By descriptor: an ordinary one and an O_PATH one read the same form.
    const int fd = open(copy.c_str(), O_RDONLY | O_CLOEXEC);
    const int pathFd = open(copy.c_str(), O_PATH | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_GE(pathFd, 0);
    EXPECT_EQ(helper_.get(fd), form);
    EXPECT_EQ(helper_.get(pathFd), form);

    // An empty form takes the file back to its mode alone.
    helper_.apply(pathFd, nullptr, 0);
    EXPECT_TRUE(helper_.get(fd).empty());
    EXPECT_EQ(modeOf(copy), 0640u);
    close(fd);
    close(pathFd);
}

TEST_F(JxACLFiles, DirectoryDefaultAclIsCopiedAndRemoved) {
    const std::string src = mkdirIn("src");
    ASSERT_EQ(setText(src, "u::rwx,g::r-x,g:2000:rwx,m::rwx,o::r-x", ACL_TYPE_DEFAULT), 0);
    const Bytes form = helper_.get(src);
    const Acl acl = JxACL::decode(form.data(), form.size());
    EXPECT_FALSE(acl.hasAccess);
    ASSERT_TRUE(acl.hasDefault);
    EXPECT_EQ(acl.defaults[2], (Entry{JxACL::TAG_GROUP, 7, 2000}));

    const std::string dst = mkdirIn("dst");
    ASSERT_EQ(setText(dst, "u::rwx,u:1000:r-x,g::r-x,m::r-x,o::r-x"), 0);
    helper_.apply(dst, form.data(), form.size());
    EXPECT_EQ(textOf(dst, ACL_TYPE_DEFAULT), textOf(src, ACL_TYPE_DEFAULT));
    // The named user went with the access section this form does not carry.
    EXPECT_EQ(textOf(dst), "user::rwx,group::r-x,other::r-x");

    helper_.apply(dst, nullptr, 0);
    EXPECT_EQ(textOf(dst, ACL_TYPE_DEFAULT), "");
    EXPECT_TRUE(helper_.get(dst).empty());
}

// The form read with the caller's fstat in hand (one call for most entries)
// is the form of the full read: for a plain file, a file with an access ACL
// and a folder whose only ACL is its default one.
TEST_F(JxACLFiles, FormFromAKnownStatIsTheFullReadsForm) {
    const std::string plain = dir_.file("plain2");
    flrtest::writeFile(plain, "data");
    const std::string folder = mkdirIn("withDefault");
    ASSERT_EQ(setText(folder, "u::rwx,g::r-x,g:2000:rwx,m::rwx,o::r-x", ACL_TYPE_DEFAULT), 0);
    for (const std::string& path : {plain, probe_, folder}) {
        SCOPED_TRACE(path);
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        struct stat st;
        ASSERT_EQ(fstat(fd, &st), 0);
        EXPECT_EQ(helper_.get(fd, st), helper_.get(fd));
        EXPECT_EQ(helper_.get(fd, st).empty(), path == plain);
        close(fd);
    }
}

TEST_F(JxACLFiles, RefusalsChangeNothing) {
    const Bytes form = helper_.get(probe_);
    const std::string before = textOf(probe_);

    // A default section for a regular file.
    Acl withDefault = namedUserAcl();
    withDefault.hasDefault = true;
    withDefault.defaults = {
        {JxACL::TAG_USER_OBJ, 7, 0}, {JxACL::TAG_GROUP_OBJ, 5, 0}, {JxACL::TAG_OTHER, 5, 0}};
    const Bytes dirForm = JxACL::encode(withDefault);
    EXPECT_THROW(helper_.apply(probe_, dirForm.data(), dirForm.size()), JxException);
    // A malformed form.
    const Bytes cut(form.begin(), form.end() - 1);
    EXPECT_THROW(helper_.apply(probe_, cut.data(), cut.size()), JxException);
    EXPECT_EQ(textOf(probe_), before);

    // A symbolic link is neither read through nor written through.
    const std::string link = dir_.file("link");
    ASSERT_EQ(symlink(probe_.c_str(), link.c_str()), 0);
    EXPECT_TRUE(helper_.get(link).empty());
    const Bytes plainForm = JxACL::encode(Acl{});
    helper_.apply(link, plainForm.data(), plainForm.size());
    EXPECT_THROW(helper_.apply(link, form.data(), form.size()), JxException);
    EXPECT_EQ(textOf(probe_), before);

    try {
        helper_.get(dir_.file("missing"));
        FAIL() << "a missing file must throw";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getCode(), ENOENT);
        EXPECT_NE(e.getMessage().find(dir_.file("missing")), std::string::npos);
    }
}

TEST_F(JxACLFiles, FifoTakesAnAclWithoutBeingOpenedForIo) {
    const std::string fifo = dir_.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const Bytes form = helper_.get(probe_);
    // Opening a FIFO for reading would block without a writer; the helper must not.
    helper_.apply(fifo, form.data(), form.size());
    EXPECT_EQ(helper_.get(fifo), form);
}

}  // namespace
