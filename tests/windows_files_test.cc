// What Windows has in place of POSIX's guarantees, through the real program: a target that is
// read-only or held by another program is refused and left alone, a temporary file goes even
// when the process is killed outright, names are UTF-16 of any length, and the standard streams
// carry bytes as they are.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "image/format.h"
#include "image_builder.h"
#include "run_tool.h"
#include "temp_dir.h"

namespace blkswap {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::run_tool;
using testing::write_file;

const std::vector<uint8_t> kOld = {'o', 'l', 'd'};

// Two blocks b0 and b1 in a table at 0x40, and a block file for b1.
testing::Workspace merge_files() {
  return {testing::build_image(kImageUnit, {{0x40, testing::numbered_blocks(2, 0x200)}}),
          testing::pattern(0x30, 2)};
}

std::wstring wide(const std::string& utf8) {
  return fs::path(reinterpret_cast<const char8_t*>(utf8.c_str())).wstring();
}

// Holds `path` open as another program would: sharing reads only, so that it can be neither
// written nor replaced.
HANDLE hold(const std::string& path) {
  return ::CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

bool has_temporary(const testing::Workspace& ws) {
  for (const std::string& name : ws.files()) {
    if (name.rfind(".blkswap-", 0) == 0) return true;
  }
  return false;
}

TEST(WindowsFiles, ATargetThatCannotBeReplacedIsRefusedAndLeftAlone) {
  const testing::Workspace ws = merge_files();
  const struct {
    std::string what;
    bool read_only;
    int held_ms;  // how long another handle holds the target; -1: for the whole run
    int status;
    std::string reason;
  } cases[] = {
      {"a read-only file", true, 0, 1, "the caller may not write it: it is read-only"},
      {"a file another program holds", false, -1, 1,
       "another program has it open; close that program and try again (merge error -4)"},
      {"a file held for a moment", false, 300, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(write_file(ws.out(), kOld));
    if (c.read_only) ::SetFileAttributesW(wide(ws.out()).c_str(), FILE_ATTRIBUTE_READONLY);
    const HANDLE held = c.held_ms != 0 ? hold(ws.out()) : INVALID_HANDLE_VALUE;
    std::thread release;
    if (c.held_ms > 0) {
      release = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(c.held_ms));
        ::CloseHandle(held);
      });
    }
    const auto run = run_tool({ws.flash(), "b1", ws.block(), ws.out()});
    if (release.joinable()) release.join();
    if (c.held_ms < 0) ::CloseHandle(held);
    ::SetFileAttributesW(wide(ws.out()).c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    EXPECT_EQ(read_file(ws.out()).size() == kImageUnit, c.status == 0);
    EXPECT_FALSE(has_temporary(ws));
  }
}

// The temporary file is marked for deletion while it is written: a process ended outright
// (TerminateProcess, as a task manager does) leaves nothing behind, and the old output stays.
TEST(WindowsFiles, AKilledMergeLeavesNoTemporaryFile) {
  const testing::Workspace ws = merge_files();
  const std::string big = ws.path("big.bin");
  fs::copy_file(ws.flash(), big);
  fs::resize_file(big, 128 << 20);  // long enough a write to be caught in
  ASSERT_TRUE(write_file(ws.out(), kOld));
  auto tool = testing::start_tool({big, "b1", ws.block(), ws.out()});
  ASSERT_NE(tool.pid, -1);
  bool caught = false;
  for (int wait = 0; wait < 20000 && !caught; ++wait) {
    caught = has_temporary(ws);
    if (caught) ::TerminateProcess(reinterpret_cast<HANDLE>(tool.pid), 9);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const auto run = testing::finish_tool(tool);
  EXPECT_TRUE(caught) << "the temporary file never showed";
  EXPECT_EQ(run.status, 9);
  EXPECT_EQ(read_file(ws.out()), kOld);
  EXPECT_FALSE(has_temporary(ws));
}

// Ctrl-C at the console removes the temporary folder and the files written into it (an
// unpack's), or the temporary file (a merge's), and ends the program as interrupted. Ctrl-Break
// and the console's closing take the same handler; Wine delivers neither to another program
// (a CTRL_BREAK_EVENT reaches nobody), so only Ctrl-C is sent.
TEST(WindowsFiles, CtrlCRemovesTheTemporaries) {
  const testing::Workspace ws = merge_files();
  const std::string big = ws.path("big.bin"), wide_block = ws.path("wide.bin");
  fs::copy_file(ws.flash(), big);
  fs::resize_file(big, 128 << 20);
  // One block of 120 MiB, for an unpack as long.
  ASSERT_TRUE(write_file(
      wide_block,
      testing::build_image(kImageUnit, {{0x1000, {{.offset = 0x1000, .size = 120 << 20}}}})));
  fs::resize_file(wide_block, 128 << 20);
  // The event goes to every program on the console: this test gets a console of its own (kept to
  // the end: Wine's FreeConsole would end the process), and a handler that lets the event pass
  // it by. Its own output stays where it was.
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE), err = ::GetStdHandle(STD_ERROR_HANDLE);
  ::FreeConsole();
  ASSERT_TRUE(::AllocConsole());
  ::SetStdHandle(STD_OUTPUT_HANDLE, out);
  ::SetStdHandle(STD_ERROR_HANDLE, err);
  ::SetConsoleCtrlHandler([](DWORD) -> BOOL { return TRUE; }, TRUE);
  for (const bool unpack : {true, false}) {
    SCOPED_TRACE(unpack ? "unpack" : "merge");
    ASSERT_TRUE(write_file(ws.out(), kOld));
    auto tool = unpack ? testing::start_tool({"--unpack", wide_block, ws.path("parts")})
                       : testing::start_tool({big, "b1", ws.block(), ws.out()});
    ASSERT_NE(tool.pid, -1);
    bool caught = false;
    for (int wait = 0; wait < 20000 && !caught; ++wait) {
      caught = has_temporary(ws);
      if (caught) ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto run = testing::finish_tool(tool);
    EXPECT_TRUE(caught) << "the temporary never showed";
    EXPECT_EQ(static_cast<DWORD>(run.status), 0xC000013Au);
    EXPECT_EQ(read_file(ws.out()), kOld);
    EXPECT_FALSE(has_temporary(ws));
    EXPECT_FALSE(fs::exists(ws.path("parts")));
  }
}

// Names outside any code page, and paths longer than MAX_PATH, given on the command line.
TEST(WindowsFiles, NamesInAnyScriptAndOfAnyLength) {
  const testing::Workspace ws = merge_files();
  const std::string flash =
      ws.path("fl\xC3\xA4sh-\xE2\x9C\x93-\xE6\x98\xA0.bin");  // flash-check-ying
  fs::copy_file(ws.flash(), wide(flash));
  std::string deep = ws.dir.dir;
  while (deep.size() < 300) deep += "/a-folder-of-a-long-name";
  fs::create_directories(wide(deep));
  const std::string out = deep + "/\xC3\xB6ut.bin";
  const auto listed = testing::run_tool_process({flash});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out, run_tool({ws.flash()}).out);
  const auto merged = testing::run_tool_process({flash, "b1", ws.block(), out});
  EXPECT_EQ(merged.status, 0) << merged.err;
  ASSERT_EQ(run_tool({ws.flash(), "b1", ws.block(), ws.out()}).status, 0);
  EXPECT_TRUE(fs::exists(wide(out)));
  EXPECT_EQ(fs::file_size(wide(out)), kImageUnit);
  const auto unpacked = testing::run_tool_process({"--unpack", flash, deep + "/parts"});
  EXPECT_EQ(unpacked.status, 0) << unpacked.err;
  EXPECT_TRUE(fs::exists(wide(deep + "/parts/manifest.json")));
}

// Standard input and output in binary mode: no byte is taken for a text end (0x1A), and no
// newline becomes CRLF.
TEST(WindowsFiles, StandardStreamsCarryBytesAsTheyAre) {
  std::vector<uint8_t> every_byte(256);
  for (size_t i = 0; i < every_byte.size(); ++i) every_byte[i] = static_cast<uint8_t>(i);
  testing::TempDir dir;
  const std::string flash = dir.file(
      "flash.bin",
      testing::build_image(
          kImageUnit,
          {{0x40, {{.id = 0x1A, .name = "all\r\n", .offset = 0x100, .data = every_byte}}}}));
  const auto extracted = testing::run_tool_process({"--extract", flash, "1a", "-"});
  EXPECT_EQ(extracted.status, 0) << extracted.err;
  EXPECT_EQ(extracted.out, std::string(every_byte.begin(), every_byte.end()));
  const auto listed = testing::run_tool_process({"--info", "-"}, "", flash);
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out, run_tool({"--info", flash}).out);
  const auto list = testing::run_tool_process({flash});
  EXPECT_EQ(list.out, std::string("id:0x1a name:all\r\n\n"));
}

}  // namespace
}  // namespace blkswap
