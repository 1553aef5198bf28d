// the library's small helpers: names and uuids, commands, files, log texts

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>

#include "aml/aml_utils.h"
#include "tests/support/process_runner.h"

namespace fs = std::filesystem;

namespace {

// a uuid is lower-case 8-4-4-4-12 hex, an address DDDD:BB:DD.F in lower-case
// hex with a literal dot: either ends up in sysfs paths and shell commands
TEST(AmlValidate, UuidAndAddressTexts)
{
    const std::pair<const char*, bool> uuids[] = {
        {"42424142-4300-0000-0000-000000000000", true}, {"0123abcd-ef01-2345-6789-abcdefabcdef", true},
        {"", false}, {"42424142-4300-0000-0000-00000000000", false}, {"42424142-4300-0000-0000-0000000000000", false},
        {"42424142-4300-0000-0000-00000000000A", false}, {"42424142x4300-0000-0000-000000000000", false},
        {"4242414-24300-0000-0000-000000000000", false}, {"42424142-4300-0000-0000-000000000000\n", false},
        {" 42424142-4300-0000-0000-000000000000", false}, {"42424142-4300-0000-0000-00000000000g", false},
    };
    for (const auto& [text, ok] : uuids) {
        EXPECT_EQ(is_uuid_valid(text), ok) << text;
    }
    const std::pair<const char*, bool> bdfs[] = {
        {"0000:3b:00.0", true}, {"abcd:ef:1f.7", true}, {"", false}, {"0000:3b:00", false}, {"000:3b:00.0", false},
        {"0000:3B:00.0", false}, {"0000:3b:00.00", false}, {"0000-3b-00.0", false}, {"0000:3b:00.0 ", false},
        {"0000:3b:00.0\n", false}, {"0000:3b:00/0", false}, {"0000:3b:00;0", false}, {"0000:3b:00 0", false},
    };
    for (const auto& [text, ok] : bdfs) {
        EXPECT_EQ(is_bdf_valid(text), ok) << text;
    }
}

// lif and port identifiers as uuids: made from a mac and taken apart again
TEST(AmlUuid, LifAndPortIdentifiers)
{
    const uint8_t bytes[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                               0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
    EXPECT_EQ(aml_uuid_to_str(bytes), "01234567-89ab-cdef-fedc-ba9876543210");
    const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    EXPECT_EQ(aml_lif_uuid_from_id(0xffff, mac), "ffff0070-0100-0000-4242-001122334455");
    for (uint16_t id : {0, 1, 5, 0x1234, 0xffff}) {
        EXPECT_EQ(aml_lif_id_from_uuid(aml_lif_uuid_from_id(id, mac)), 0x70000000u + id) << id;
    }
    // fewer than eight digits: only the leading ones count
    EXPECT_EQ(aml_lif_id_from_uuid("12"), 0x12000000u);
    EXPECT_EQ(aml_lif_id_from_uuid(""), 0u);

    // a port uuid is the mac, 4242-4242-0000 and the port; anything else is
    // refused and leaves the port alone (99: refused)
    const std::pair<const char*, uint32_t> ports[] = {
        {"00112233-4455-4242-4242-000000000007", 7}, {"aabbccdd-eeff-4242-4242-0000deadbeef", 0xdeadbeef},
        {"00112233-4455-4243-4242-000000000007", 99}, {"00112233-4455-4242-4200-000000000007", 99},
        {"00112233-4455-4242-4242-000100000007", 99}, {"00112233-4455-4242-4242-00000000007", 99},
        {"00112233-4455-4242-4242-00000000000G", 99}, {"", 99}};
    for (const auto& [text, want] : ports) {
        uint32_t port = 99;
        uint8_t got[6] = {};
        EXPECT_EQ(aml_port_uuid_deconstruct(text, &port, got), want == 99 ? AML_STATUS_INVALID_INPUT : AML_STATUS_OK);
        EXPECT_EQ(port, want) << text;
        char hex[16];
        snprintf(hex, sizeof(hex), "%02x%02x%02x%02x-%02x%02x", got[0], got[1], got[2], got[3], got[4], got[5]);
        EXPECT_TRUE(want == 99 || std::string(text).rfind(hex, 0) == 0) << text << " gave the mac " << hex;
    }
    uint8_t spare[6] = {};
    EXPECT_EQ(aml_port_uuid_deconstruct(ports[0].first, nullptr, spare), AML_STATUS_INVALID_INPUT) << "no port";
}

// the names themselves are read through the profile files; here only what
// lies outside the table
TEST(AmlBreakout, NoModeOutsideTheTable)
{
    for (const char* name : {"", "4X100G-1", "4x100g-", "4x100g-1 ", "none", "1x800g"}) {
        EXPECT_EQ(aml_port_breakout_mode(std::string(name)), AML_PORT_BREAKOUT_MODE_NONE) << name;
    }
    for (int mode : {0, 11, 255}) {
        EXPECT_EQ(aml_port_breakout_mode(static_cast<aml_port_breakout_mode_e>(mode)), 0) << mode;
    }
}

TEST(AmlTime, StampIsCtimeMadeFileNameSafe)
{
    std::string stamp = aml_current_time_get();
    // Thu_Dec__4_10-15-02_2025
    EXPECT_TRUE(std::regex_match(stamp, std::regex("^[A-Z][a-z]{2}_[A-Z][a-z]{2}_[_ 0-9][0-9]_"
                                                   "[0-9]{2}-[0-9]{2}-[0-9]{2}_[0-9]{4}$")))
        << stamp;
    EXPECT_EQ(stamp.find_first_of(" :\n"), std::string::npos);
}

TEST(AmlCommand, OutputLosesOneTrailingNewline)
{
    struct case_s {
        const char* command;
        int rc;  // -1: ended by a signal
        std::string out;
    };
    const case_s cases[] = {
        {"printf 'a\\nb\\n'", 0, "a\nb"},
        {"printf 'a\\n\\n'", 0, "a\n"},
        {"printf 'x'", 0, "x"},
        {"echo partial; exit 7", 7, "partial"},
        {"head -c 1000 /dev/zero | tr '\\0' z", 0, std::string(1000, 'z')},  // longer than any one read
        {"kill -9 $$", -1, ""},
    };
    for (const case_s& c : cases) {
        std::string out = "stale";
        EXPECT_EQ(aml_execute_command(c.command, out), c.rc) << c.command;
        EXPECT_EQ(out, c.out) << c.command;
    }
}

// the folder traps themselves are ipc's private_dir tests; here the library's
// texts: made as asked, refused by name, and files appended to
TEST(AmlFiles, PrivateFoldersAndAppendedFiles)
{
    test_temp_dir dir("aml-files");
    const fs::path root = dir.path();
    std::string error;
    for (const char* name : {"with blank", "quote'd", "$(touch pwned)", "-p", "nested/deeper/still"}) {
        fs::path path = root / name;
        EXPECT_EQ(make_dir(path.string(), error), 0) << name << ": " << error;
        EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_all) << name;
    }
    EXPECT_FALSE(fs::exists(root / "pwned"));
    EXPECT_EQ(make_dir(root.string(), error), 0) << "an existing private folder is fine";

    const std::string file = dir.file("file");
    test_write_file(file, "");
    std::string path = file + "/sub";
    EXPECT_NE(make_dir(path, error), 0);
    EXPECT_EQ(error, "Failed to create directory " + path + ", err - Directory " + file +
                         " is not a directory: it cannot hold a private directory; remove it or choose another "
                         "directory\n");
    EXPECT_NE(make_dir("", error), 0);

    for (const char* text : {"one\n", "two\n"}) {
        FILE* log = aml_file_create(dir.file("log"));
        ASSERT_NE(log, nullptr);
        fputs(text, log);
        fclose(log);
    }
    EXPECT_EQ(test_read_file(dir.file("log")), "one\ntwo\n");
    EXPECT_EQ(aml_file_create(dir.file("missing/log")), nullptr);
}

TEST(AmlLogText, TimestampRemoval)
{
    // the count is the position of ']' plus two, from the first '['
    const std::pair<const char*, const char*> cases[] = {
        {"[Thu Dec  4 10:15:02 2025] flash failed", "flash failed"},
        {"no stamp", "no stamp"}, {"only [ open", "only [ open"}, {"only ] close", "only ] close"},
        {"[]", ""}, {"[x]", ""}, {"ab [c] def", "ab "}, {"a]b[c", "a]b"},
    };
    for (const auto& [text, want] : cases) {
        EXPECT_EQ(aml_remove_log_timestamp(text), want) << text;
    }
}

}  // namespace
