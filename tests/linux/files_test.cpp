// The Linux backend's files: Win32 open modes, no sharing between open handles, MoveFileExW's
// replace in one step, the temporary folder, listing by prefix.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/linux/linux_platform.h"
#include "support/text.h"

namespace fs = std::filesystem;

namespace mobileinfo {
namespace {

// Makes the entries of a directory impossible to delete (or possible again): a read-only
// directory for ordinary users, the immutable flag for root. False when neither works here.
bool SetUndeletable(const std::string& directory, bool undeletable) {
  if (geteuid() != 0) {
    fs::permissions(directory, undeletable ? fs::perms::owner_read | fs::perms::owner_exec
                                           : fs::perms::owner_all);
    return true;
  }
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  int flags = 0;
  bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (done) {
    flags = undeletable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  close(fd);
  return done;
}

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "mobileinfo-files-XXXXXX").string();
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    if (fs::exists(Native("sub"))) SetUndeletable(Native("sub"), false);
    fs::remove_all(dir_, ignored);
  }

  std::u16string Path(const std::string& name) const { return Utf8ToUtf16(dir_ + "/" + name); }
  std::string Native(const std::string& name) const { return dir_ + "/" + name; }
  void Put(const std::string& name, const std::string& content) {
    std::ofstream(Native(name), std::ios::binary) << content;
  }
  std::string Get(const std::string& name) {
    std::ifstream in(Native(name), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string dir_;
  LinuxPlatform platform_{"/nonexistent"};
};

TEST_F(FilesTest, OpenModes) {
  FileError why = FileError::kNone;
  EXPECT_EQ(platform_.OpenFile(Path("absent"), FileMode::kReadExisting, &why), nullptr);
  EXPECT_EQ(why, FileError::kNotFound);
  EXPECT_FALSE(platform_.FileExists(Path("absent")));

  {
    auto file = platform_.OpenFile(Path("data"), FileMode::kCreateAlways);
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(file->Write("hello world", 11));
    EXPECT_EQ(file->Size(), 11u);
  }
  EXPECT_TRUE(platform_.FileExists(Path("data")));
  {
    auto file = platform_.OpenFile(Path("data"), FileMode::kReadExisting);
    ASSERT_NE(file, nullptr);
    char buffer[16] = {};
    EXPECT_EQ(file->Seek(6), 6);
    EXPECT_EQ(file->Read(buffer, sizeof buffer), 5u);
    EXPECT_EQ(std::string(buffer), "world");
    EXPECT_EQ(file->Read(buffer, sizeof buffer), 0u);  // end of file
    EXPECT_FALSE(file->Write("x", 1));                 // opened for reading only
  }
  {
    auto file = platform_.OpenFile(Path("data"), FileMode::kCreateAlways);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->Size(), 0u);  // an existing file is truncated
    EXPECT_TRUE(file->Write("abc", 3));
  }
  EXPECT_EQ(Get("data"), "abc");
  // A directory is not a file, whatever the mode.
  EXPECT_EQ(platform_.OpenFile(Utf8ToUtf16(dir_), FileMode::kReadExisting), nullptr);
  EXPECT_EQ(platform_.OpenFile(Utf8ToUtf16(dir_), FileMode::kCreateAlways), nullptr);
  EXPECT_TRUE(platform_.FileExists(Utf8ToUtf16(dir_)));
}

TEST_F(FilesTest, OpenFileIsNotShared) {
  Put("shared", "keep me");
  auto first = platform_.OpenFile(Path("shared"), FileMode::kReadExisting);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(platform_.OpenFile(Path("shared"), FileMode::kReadExisting), nullptr);
  // A refused create must not have truncated the file of the handle that holds it.
  EXPECT_EQ(platform_.OpenFile(Path("shared"), FileMode::kCreateAlways), nullptr);
  FileError why = FileError::kNone;
  EXPECT_EQ(platform_.OpenFile(Path("shared"), FileMode::kReadExisting, &why), nullptr);
  EXPECT_EQ(why, FileError::kInUse);
  EXPECT_EQ(Get("shared"), "keep me");
  EXPECT_FALSE(platform_.DeleteFile(Path("shared")));
  Put("new", "new");
  EXPECT_FALSE(platform_.ReplaceFile(Path("new"), Path("shared")));
  EXPECT_FALSE(platform_.ReplaceFile(Path("shared"), Path("moved")));
  // Another backend object (another library instance) is refused too.
  LinuxPlatform other("/nonexistent");
  EXPECT_EQ(other.OpenFile(Path("shared"), FileMode::kReadExisting), nullptr);

  first.reset();
  EXPECT_NE(platform_.OpenFile(Path("shared"), FileMode::kReadExisting), nullptr);
  EXPECT_TRUE(platform_.DeleteFile(Path("shared")));
  EXPECT_FALSE(platform_.FileExists(Path("shared")));
}

TEST_F(FilesTest, DeleteReplaceAndCreateDirectory) {
  EXPECT_FALSE(platform_.DeleteFile(Path("absent")));
  ASSERT_TRUE(platform_.CreateDirectory(Path("sub")));
  EXPECT_FALSE(platform_.CreateDirectory(Path("sub")));  // exists already
  EXPECT_FALSE(platform_.CreateDirectory(Path("missing/deeper")));
  EXPECT_FALSE(platform_.DeleteFile(Path("sub")));  // DeleteFileW refuses directories
  EXPECT_TRUE(fs::is_directory(Native("sub")));

  Put("a", "A");
  Put("b", "B");
  ASSERT_EQ(chmod(Native("b").c_str(), 0444), 0);
  EXPECT_TRUE(platform_.ReplaceFile(Path("a"), Path("b")));  // also a read-only target
  EXPECT_EQ(Get("b"), "A");
  EXPECT_FALSE(platform_.FileExists(Path("a")));
  EXPECT_FALSE(platform_.ReplaceFile(Path("a"), Path("c")));  // source gone
  Put("a", "A2");
  EXPECT_TRUE(platform_.ReplaceFile(Path("a"), Path("c")));  // no target yet
  EXPECT_EQ(Get("c"), "A2");
  EXPECT_FALSE(platform_.ReplaceFile(Path("c"), Path("sub")));  // a directory is no file
  // Refused by the system: both files stay as they were.
  Put("sub/old", "old");
  Put("sub/new", "new");
  if (!SetUndeletable(Native("sub"), true)) GTEST_SKIP() << "no way to refuse a rename here";
  EXPECT_FALSE(platform_.ReplaceFile(Path("sub/new"), Path("sub/old")));
  ASSERT_TRUE(SetUndeletable(Native("sub"), false));
  EXPECT_EQ(Get("sub/old"), "old");
  EXPECT_EQ(Get("sub/new"), "new");
}

TEST_F(FilesTest, TempDirectory) {
  // The user's own 0700 directory inside TMPDIR (or /tmp), made on first use.
  const std::string own = "mobileinfo-" + std::to_string(geteuid());
  setenv("TMPDIR", dir_.c_str(), 1);
  EXPECT_EQ(platform_.TempDirectory(), Utf8ToUtf16(dir_ + "/" + own + "/"));
  struct stat info;
  ASSERT_EQ(lstat((dir_ + "/" + own).c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  setenv("TMPDIR", (dir_ + "/").c_str(), 1);
  EXPECT_EQ(platform_.TempDirectory(), Utf8ToUtf16(dir_ + "/" + own + "/"));
  unsetenv("TMPDIR");
  EXPECT_EQ(platform_.TempDirectory(), Utf8ToUtf16("/tmp/" + own + "/"));
  // A name planted by someone else (here a link, or a directory open to others) is not used.
  for (const char* planted : {"link", "open"}) {
    SCOPED_TRACE(planted);
    const std::string sub = dir_ + "/" + planted;
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    if (planted == std::string("link")) {
      ASSERT_EQ(symlink(dir_.c_str(), (sub + "/" + own).c_str()), 0);
    } else {
      ASSERT_EQ(mkdir((sub + "/" + own).c_str(), 0777), 0);
      ASSERT_EQ(chmod((sub + "/" + own).c_str(), 0777), 0);
    }
    setenv("TMPDIR", sub.c_str(), 1);
    const std::string fallback = Utf16ToUtf8(platform_.TempDirectory());
    EXPECT_EQ(fallback.rfind(sub + "/" + own + "-", 0), 0u) << fallback;
    ASSERT_EQ(lstat(fallback.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(Utf16ToUtf8(platform_.TempDirectory()), fallback);  // made once
  }
  unsetenv("TMPDIR");
}

// What finds the files a killed process left: the names by prefix, and whether their process is
// still there.
TEST_F(FilesTest, ListsFilesByPrefixAndTellsWhetherAProcessExists) {
  Put("!ly1.tmp", "a");
  Put("!ly2.tmp.x", "b");
  Put("other!ly", "c");
  ASSERT_EQ(mkdir(Native("!lydir").c_str(), 0700), 0);
  std::vector<std::u16string> names = platform_.ListFiles(Path(""), u"!ly");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::u16string>{u"!ly1.tmp", u"!ly2.tmp.x"}));
  EXPECT_TRUE(platform_.ListFiles(Path("missing/"), u"!ly").empty());

  EXPECT_TRUE(platform_.ProcessExists(static_cast<uint32_t>(getpid())));
  EXPECT_TRUE(platform_.ProcessExists(1));  // someone else's unless the tests run as root
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  EXPECT_FALSE(platform_.ProcessExists(static_cast<uint32_t>(child)));
  EXPECT_FALSE(platform_.ProcessExists(0));
  EXPECT_FALSE(platform_.ProcessExists(0xFFFFFFF0u));
}

}  // namespace
}  // namespace mobileinfo
