// private folders against the traps another user can set: links, folders of
// theirs, folders others can write, files in the way. each trap is refused
// with the folder's name and left exactly as it was; the victim it points at
// never changes.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "ipc/private_dir.h"
#include "tests/support/process_runner.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t k_other = 65534;

class PrivateDir : public ::testing::Test {
public:
    void SetUp() override
    {
        fs::create_directories(victim_ + "/sub");
        test_write_file(victim_ + "/a", "keep");
        test_write_file(victim_ + "/sub/b", "keep");
    }

    static std::string mode_owner(const std::string& path)
    {
        struct stat st = {};
        if (lstat(path.c_str(), &st) != 0) {
            return "missing";
        }
        char buf[64];
        snprintf(buf, sizeof(buf), "%04o:%u", st.st_mode & 07777, st.st_uid);
        return buf;
    }
    bool victim_intact() const
    {
        size_t n = 0;
        for (auto it = fs::recursive_directory_iterator(victim_); it != fs::recursive_directory_iterator(); ++it) {
            n++;
        }
        return n == 3 && test_read_file(victim_ + "/a") == "keep" && test_read_file(victim_ + "/sub/b") == "keep";
    }
    std::string p(const std::string& rel) const { return root_ + "/" + rel; }

    test_temp_dir dir_{"private-dir"};
    std::string root_ = dir_.path(), victim_ = root_ + "/victim";
};

TEST_F(PrivateDir, EachTrapIsRefusedByNameAndLeftAsItWas)
{
    struct trap_case {
        const char* name;
        std::function<void(PrivateDir&)> plant;
        const char* open;     // the private folder asked for, below the test's root
        const char* refusal;  // "" when it must open; else the folder and the fault
    };
    const auto link = [](PrivateDir& t) { fs::create_directory_symlink(t.victim_, t.p("x")); };
    const auto sticky = [](PrivateDir& t) {
        fs::create_directory(t.p("x"));
        chmod(t.p("x").c_str(), 01777);
    };
    const trap_case cases[] = {
        {"fresh", [](PrivateDir&) {}, "x/y", ""},
        {"link", link, "x/y", "/x is a symbolic link"},
        {"link-last", link, "x", "/x is a symbolic link"},
        {"other-owner",
         [](PrivateDir& t) {
             fs::create_directory(t.p("x"));
             ASSERT_EQ(chown(t.p("x").c_str(), k_other, k_other), 0);
         },
         "x/y", "/x is owned by uid 65534"},
        {"group-writable",
         [](PrivateDir& t) {
             fs::create_directories(t.p("x/y"));
             chmod(t.p("x/y").c_str(), 0770);
         },
         "x/y", "/x/y can be written by other users (mode 0770)"},
        {"sticky-is-only-an-ancestor", sticky, "x", "/x can be written by other users (mode 1777)"},
        {"sticky-ancestor", sticky, "x/y", ""},
        {"file-in-the-way", [](PrivateDir& t) { test_write_file(t.p("x"), "mine"); }, "x/y", "/x is not a directory"},
        {"dot-dot", [](PrivateDir&) {}, "x/../victim", "/x/../victim holds \"..\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(p("x"));
        c.plant(*this);
        const std::string before = mode_owner(p("x"));
        private_dir dir;
        std::string error;
        bool ok = private_dir_open(p(c.open), true, dir, error);
        if (*c.refusal == '\0') {
            ASSERT_TRUE(ok) << error;
            EXPECT_EQ(dir.path(), p(c.open));
            EXPECT_EQ(mode_owner(p(c.open)), "0700:0") << "made private";
        } else {
            EXPECT_FALSE(ok);
            EXPECT_FALSE(dir.ok());
            EXPECT_TRUE(test_has(error, root_ + c.refusal)) << error;
            EXPECT_TRUE(test_has(error, "remove it or choose another directory") ||
                        test_has(error, "name the directory without it")) << error;
            EXPECT_EQ(mode_owner(p("x")), before) << "never repaired or removed";
        }
        EXPECT_TRUE(victim_intact());
        EXPECT_FALSE(fs::exists(victim_ + "/y"));
    }
    // a folder root made 0755 earlier is used as it is
    fs::remove_all(p("x"));
    fs::create_directories(p("x/y"));
    chmod(p("x/y").c_str(), 0755);
    private_dir dir;
    std::string error;
    ASSERT_TRUE(private_dir_open(p("x/y"), false, dir, error)) << error;
    EXPECT_EQ(mode_owner(p("x/y")), "0755:0");
}

TEST_F(PrivateDir, EmptyingNeverFollowsALinkAndFilesOpenOnlyAsRootsOwn)
{
    private_dir work;
    std::string error;
    ASSERT_TRUE(private_dir_open(p("work"), true, work, error)) << error;
    fs::create_directories(p("work/d/e"));
    test_write_file(p("work/f"), "x");
    test_write_file(p("work/d/e/g"), "x");
    fs::create_directory_symlink(victim_, p("work/to-dir"));
    fs::create_symlink(victim_ + "/a", p("work/d/to-file"));
    ASSERT_TRUE(private_dir_empty(work, error)) << error;
    EXPECT_TRUE(fs::is_empty(p("work")));
    EXPECT_TRUE(victim_intact());

    // a link, another user's file, a file with a second name: refused, untouched
    fs::create_symlink(victim_ + "/a", p("work/link"));
    test_write_file(p("work/theirs"), "mine");
    ASSERT_EQ(chown(p("work/theirs").c_str(), k_other, k_other), 0);
    test_write_file(p("work/twice"), "mine");
    fs::create_hard_link(p("work/twice"), p("work/twice2"));
    for (const char* name : {"link", "theirs", "twice"}) {
        EXPECT_LT(private_dir_open_file(work, name, O_WRONLY | O_CREAT | O_TRUNC, error), 0) << name;
        EXPECT_TRUE(test_has(error, p(std::string("work/") + name))) << error;
    }
    EXPECT_EQ(test_read_file(p("work/theirs")), "mine");
    EXPECT_EQ(test_read_file(p("work/twice")), "mine");
    EXPECT_TRUE(victim_intact());
    EXPECT_TRUE(private_file_write(p("work/log"), "one\n", true, error)) << error;
    EXPECT_TRUE(private_file_write(p("work/log"), "two\n", true, error)) << error;
    EXPECT_EQ(test_read_file(p("work/log")), "one\ntwo\n");
    EXPECT_EQ(mode_owner(p("work/log")), "0600:0");

    // output files: a new one in a sticky folder, never in another user's folder
    fs::create_directory(p("tmp"));
    chmod(p("tmp").c_str(), 01777);
    int fd = output_file_create(p("tmp/out"), error);
    EXPECT_GE(fd, 0) << error;
    close(fd);
    fs::create_directory(p("tmp/theirs"));
    ASSERT_EQ(chown(p("tmp/theirs").c_str(), k_other, k_other), 0);
    EXPECT_LT(output_file_create(p("tmp/theirs/out"), error), 0);
    EXPECT_TRUE(test_has(error, p("tmp/theirs") + " is owned by uid 65534")) << error;
    EXPECT_FALSE(fs::exists(p("tmp/theirs/out")));
}

}  // namespace
