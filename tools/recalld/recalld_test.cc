// trhsm-recalld as a program: reading stubs, concurrency, bad copies, refusals.
#include "tools/recalld/recalld_fixture.h"

namespace recalld_test {
namespace {

// Every way of reading a stub sees the original size, bytes, mode and modification time; files
// that are no stubs are neither changed nor recalled.
TEST_F(Recalld, ReadersSeeTheDataAndNonStubsPassUntouched) {
  std::string sparse(6 << 20, '\0');
  sparse.replace(3 << 20, 10, "in between");
  const struct {
    const char* name;
    std::string data;
  } stubs[] = {{"by cat", Random(1 << 20, 1)},
               {"by cp", Random(300000, 2)},
               {"by mmap", Random(70000, 3)},
               {"sparse", sparse}};
  std::vector<std::string> records;
  for (const auto& s : stubs) records.push_back(Stub(s.name, s.data));
  WriteFile(tree_ + "/plain", "not a stub\n");
  WriteFile(tree_ + "/longer", records[0] + "and more");  // begins with a record: no stub
  WriteFile(tree_ + "/large", Random(100000, 4));
  struct stat before[3];
  const char* others[] = {"plain", "longer", "large"};
  for (int i = 0; i < 3; ++i) ::stat((tree_ + "/" + others[i]).c_str(), &before[i]);

  Daemon d = StartOn("state");
  const std::string root = tree_ + "/";
  // Stubs that appear while the daemon watches: one filled in a new file renamed into place (the
  // new file was seen empty first), one written in place over a file already seen as no stub.
  const std::string late = Random(90000, 8), inPlace = Random(80000, 9);
  Stub("late", late);
  WriteFile(root + "in place", "seen before it became a stub\n");
  EXPECT_EQ(ReadFile(root + "in place"), "seen before it became a stub\n");
  const std::string inPlaceRecord = Stub("scratch stub", inPlace);
  WriteFile(root + "in place", inPlaceRecord);
  EXPECT_TRUE(ReadFile(root + "late") == late);
  EXPECT_TRUE(ReadFile(root + "in place") == inPlace);
  trhsm_test::ProgramRun cat = trhsm_test::RunProgram("cat", {root + "by cat"});
  EXPECT_EQ(cat.status, 0);
  EXPECT_TRUE(cat.out == stubs[0].data) << cat.out.size() << " bytes read by cat";
  EXPECT_EQ(trhsm_test::RunProgram("cp", {root + "by cp", dir_.File("copy")}).status, 0);
  EXPECT_TRUE(ReadFile(dir_.File("copy")) == stubs[1].data);
  const int fd = ::open((root + "by mmap").c_str(), O_RDONLY);
  struct stat st;
  ASSERT_EQ(::fstat(fd, &st), 0);
  ASSERT_EQ(st.st_size, 70000);
  void* map = ::mmap(nullptr, 70000, PROT_READ, MAP_PRIVATE, fd, 0);
  ASSERT_NE(map, MAP_FAILED);
  EXPECT_EQ(std::memcmp(map, stubs[2].data.data(), 70000), 0);
  ::munmap(map, 70000);
  ::close(fd);
  EXPECT_TRUE(ReadFile(root + "sparse") == sparse);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(ReadFile(root + others[i]).size(), size_t(before[i].st_size));
  EXPECT_TRUE(Contains(Summary(&d), "summary: 6 recalls, ")) << d.log;
  EXPECT_EQ(Stop(d), 0) << d.log;

  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(::stat((root + others[i]).c_str(), &st), 0);
    EXPECT_TRUE(st.st_ctim.tv_sec == before[i].st_ctim.tv_sec &&
                st.st_ctim.tv_nsec == before[i].st_ctim.tv_nsec)
        << others[i] << " was written";
  }
  EXPECT_EQ(ReadFile(root + "longer"), records[0] + "and more");
  // Owner and mode stay, the modification time is the archived one, and the identity recorded
  // beside the copy is the file's as it now stands.
  for (const auto& s : stubs) {
    ASSERT_EQ(::stat((root + s.name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << s.name;
    trhsm::platform::CopyHeader header;
    trhsm::platform::RecalledIdentity id;
    std::string error;
    ASSERT_TRUE(trhsm::platform::ReadCopyHeader(dir_.File("archive"), 1, 1, offsets_[s.name],
                                                &header, &error));
    EXPECT_EQ(st.st_mtim.tv_sec, header.modTime) << s.name;
    EXPECT_EQ(static_cast<uint32_t>(st.st_mtim.tv_nsec), header.modTimeNsec) << s.name;
    EXPECT_TRUE(
        trhsm::platform::ReadRecalledIdentity(dir_.File("archive"), 1, 1, offsets_[s.name], &id) &&
        id.Matches(st))
        << s.name;
  }
  ASSERT_EQ(::stat((root + "sparse").c_str(), &st), 0);
  EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the sparse file came back without its hole";
}

// Sixteen threads open one stub at once: one recall, and all read the data. (How many of them
// waited on it, rather than opening the data once it was whole, depends on the scheduler.)
TEST_F(Recalld, ConcurrentOpenersShareOneRecall) {
  const std::string data = Random(2 << 20, 5);
  Stub("shared", data);
  Daemon d = StartOn("state");
  std::vector<std::thread> openers;
  std::vector<std::string> seen(16);
  std::atomic<int> ready{0};
  for (std::string& out : seen) {
    openers.emplace_back([&] {
      for (++ready; ready < 16;) std::this_thread::yield();
      out = ReadFile(tree_ + "/shared");
    });
  }
  for (std::thread& t : openers) t.join();
  for (const std::string& out : seen) EXPECT_TRUE(out == data) << out.size() << " bytes read";
  EXPECT_TRUE(Contains(Summary(&d), "summary: 1 recall, 2.1 MB, 0 failures; ")) << d.log;
  EXPECT_EQ(Stop(d), 0);
}

// A copy that is damaged or missing: the open fails with EIO, the stub stays, the log says why.
TEST_F(Recalld, BadCopyIsRefusedAndTheStubKept) {
  const std::string damaged = Stub("damaged", Random(200000, 6));
  const std::string missing = Stub("missing", Random(200000, 7));
  // One byte of the first copy's data flipped; the second copy's archive group taken away.
  const std::string archive = ReadFile(dir_.File("archive/1/1.arc"));
  std::string flipped = archive;
  flipped[offsets_["damaged"] + 56 + 1000] ^= 1;
  WriteFile(dir_.File("archive/1/1.arc"), flipped.substr(0, offsets_["missing"]));
  struct stat before;
  ASSERT_EQ(::stat((tree_ + "/damaged").c_str(), &before), 0);
  Daemon d = StartOn("state");
  const struct {
    const char* name;
    const std::string& record;
    const char* reason;
  } rows[] = {{"damaged", damaged, "checksum"}, {"missing", missing, "offset"}};
  for (const auto& row : rows) {
    const std::string path = tree_ + "/" + row.name;
    errno = 0;
    const int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_EQ(fd, -1) << row.name;
    EXPECT_EQ(errno, EIO) << row.name;
    EXPECT_TRUE(WaitLine(&d, "refused \"" + path + "\": ")) << d.log;
    const std::string line = d.log.substr(d.log.rfind("refused \"" + path));
    EXPECT_TRUE(Contains(line.substr(0, line.find('\n')), row.reason)) << line;
  }
  EXPECT_EQ(Stop(d), 0);
  for (const auto& row : rows) EXPECT_EQ(ReadFile(tree_ + "/" + row.name), row.record);
  struct stat after;  // the damage is found after bytes were written: the times are put back
  ASSERT_EQ(::stat((tree_ + "/damaged").c_str(), &after), 0);
  EXPECT_TRUE(after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
              after.st_mtim.tv_nsec == before.st_mtim.tv_nsec);
  EXPECT_TRUE(NoIntents());
}

// The loop answers while recalls wait: with the daemon's opens of the archive held (a fanotify
// group of the test's own on the archive, made a mount of its own), a file that is no stub opens
// at once, and a second stub's recall starts beside the first (--jobs 2).
TEST_F(Recalld, OtherOpensAreAnsweredWhileRecallsWait) {
  const std::string a = Random(100000, 12), b = Random(100000, 13);
  Stub("a", a);
  Stub("b", b);
  WriteFile(tree_ + "/plain", "no stub\n");
  const std::string archive = dir_.File("archive");
  ASSERT_EQ(::mount(archive.c_str(), archive.c_str(), nullptr, MS_BIND, nullptr), 0);
  mounts_.push_back(archive);
  Daemon d = StartOn("state", 2);
  const int hold = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC);
  ASSERT_GE(hold, 0);
  ASSERT_EQ(::fanotify_mark(hold, FAN_MARK_ADD | FAN_MARK_MOUNT, FAN_OPEN_PERM, AT_FDCWD,
                            archive.c_str()),
            0);
  auto reader = [&](const std::string& name, const std::string& data) {
    return trhsm_test::StartChild([&, name] {
      ::close(hold);  // else the group would outlive the test's own descriptor
      return ReadFile(tree_ + "/" + name) == data ? 0 : 1;
    });
  };
  // The next open of the archive by the daemon, held unanswered: its event's descriptor.
  auto held = [&]() {
    for (;;) {
      struct pollfd p = {hold, POLLIN, 0};
      if (::poll(&p, 1, 30000) != 1) return -1;
      struct fanotify_event_metadata e;
      if (::read(hold, &e, sizeof e) != static_cast<ssize_t>(sizeof e)) return -1;
      if (e.pid == d.pid) return static_cast<int>(e.fd);
      const struct fanotify_response allow = {e.fd, FAN_ALLOW};
      (void)!::write(hold, &allow, sizeof allow);
      ::close(e.fd);
    }
  };
  const int readA = reader("a", a);
  const int first = held();
  ASSERT_GE(first, 0);
  EXPECT_EQ(ReadFile(tree_ + "/plain"), "no stub\n");  // while the first recall waits
  const int readB = reader("b", b);
  const int second = held();  // the second recall, while the first still waits
  EXPECT_GE(second, 0);
  ::close(hold);  // lets both go, and every later open
  ::close(first);
  if (second >= 0) ::close(second);
  EXPECT_EQ(trhsm_test::WaitChild(readA), 0);
  EXPECT_EQ(trhsm_test::WaitChild(readB), 0);
  EXPECT_EQ(Stop(d), 0) << d.log;
}

// A file system without pre-content events (tmpfs): every recall happens at open.
TEST_F(Recalld, FallsBackToOpenEvents) {
  const std::string fs = tree_ + "/tmpfs";
  ASSERT_EQ(::mkdir(fs.c_str(), 0755), 0);
  if (::mount("tmpfs", fs.c_str(), "tmpfs", 0, "size=16m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
  }
  const std::string data = Random(300000, 11);
  Stub("tmpfs/f", data);
  Daemon d = Start({"--state", dir_.File("state"), fs});
  EXPECT_TRUE(Contains(d.log, "(recalls at open, ")) << d.log;
  EXPECT_TRUE(ReadFile(fs + "/f") == data);
  EXPECT_EQ(Stop(d), 0) << d.log;
  ::umount2(fs.c_str(), MNT_DETACH);
}

// What must refuse to start, and how.
TEST_F(Recalld, RefusesToStart) {
  ASSERT_EQ(::mkdir((tree_ + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(dir_.File("elsewhere").c_str(), 0755), 0);
  Daemon first = StartOn("state");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string says;
  } rows[] = {
      {{"--jobs", "0", tree_}, 2, "--jobs takes a number from 1 to 64, not \"0\""},
      {{"--state", tree_ + "/sub/state", tree_}, 2, "lies inside the watched tree"},
      {{"--log", tree_ + "/log", dir_.path()}, 2, "lies inside the watched tree"},
      {{"--archive", tree_ + "/sub", tree_}, 2, "--archive \"" + tree_ + "/sub\" lies inside"},
      {{dir_.File("nothing")}, 2, "is not a folder"},
      {{"--state", dir_.File("other"), tree_ + "/sub"}, 1, "overlaps " + tree_ + ", watched by"},
      {{"--state", dir_.File("state"), dir_.path() + "/elsewhere"}, 1, "is in use by another"},
  };
  for (const auto& row : rows) {
    Daemon d = Start(row.args, false);
    EXPECT_EQ(trhsm_test::WaitChild(d.pid), row.status) << row.says;
    Drain(&d);
    EXPECT_TRUE(Contains(d.log, row.says)) << d.log;
    ::close(d.err);
    daemons_.pop_back();
  }
  EXPECT_EQ(Stop(first), 0);
  // Without the privilege: one line, exit 2.
  const int status = trhsm_test::InChild([&] {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 90;
    const trhsm_test::ProgramRun r = trhsm_test::RunProgram(
        TRHSM_RECALLD, {"--foreground", "--archive", "/", "--state", "/tmp/none", "/usr"});
    return r.status == 2 && r.out ==
                                "trhsm-recalld: watching opens needs root (CAP_SYS_ADMIN); "
                                "run it as root\n"
               ? 0
               : 91;
  });
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace recalld_test
