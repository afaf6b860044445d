// trhsm-recalld killed during recalls and restarted, and stopped with openers waiting.
#include "tools/recalld/recalld_fixture.h"

namespace recalld_test {
namespace {

// Killed while it recalls (at random moments, and every other round while the data is being
// written), then restarted: every file is its whole stub or its whole data, and a reader that the
// kill let through read either the data or the stub record at offset 0. TRHSM_RECALLD_KILLS sets
// the number of rounds.
TEST_F(Recalld, KilledDuringRecallsThenRestarted) {
  const char* env = std::getenv("TRHSM_RECALLD_KILLS");
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const int rounds = env != nullptr ? std::atoi(env) : 5;
#else
  const int rounds = env != nullptr ? std::atoi(env) : 12;
#endif
  std::vector<std::string> names = {"k0", "k1", "k2"}, data, records;
  for (size_t i = 0; i < names.size(); ++i) {
    data.push_back(Random(4 << 20, static_cast<unsigned>(10 + i)));
    records.push_back(Stub(names[i], data.back()));
  }
  std::mt19937 gen(::testing::UnitTest::GetInstance()->random_seed());
  int recovered = 0;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    for (size_t i = 0; i < names.size(); ++i) {
      if (ReadFile(tree_ + "/" + names[i]) != records[i]) Restub(names[i], records[i]);
    }
    Daemon d = StartOn("state", 2);
    std::vector<int> readers;
    for (size_t i = 0; i < names.size(); ++i) {
      readers.push_back(StartReader(tree_ + "/" + names[i], data[i], records[i]));
    }
    if (round % 2 == 0) {
      ::usleep(std::uniform_int_distribution<useconds_t>(0, 60000)(gen));  // a random moment
    } else {
      // While the data is being written: a file grown past its record, not yet to its size (or,
      // when the recalls were too quick for that, once all are done).
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      for (bool writing = false, done = false;
           !writing && !done && std::chrono::steady_clock::now() < deadline;) {
        done = true;
        for (size_t i = 0; i < names.size() && !writing; ++i) {
          struct stat st;
          const off_t size = ::stat((tree_ + "/" + names[i]).c_str(), &st) == 0 ? st.st_size : 0;
          writing = size > off_t(records[i].size()) && size < off_t(data[i].size());
          done = done && size == off_t(data[i].size());
        }
      }
    }
    Stop(d, SIGKILL);
    for (int pid : readers) EXPECT_LT(trhsm_test::WaitChild(pid), 2);
    Daemon again = StartOn("state", 2);
    EXPECT_EQ(Stop(again), 0) << again.log;
    if (Contains(again.log, "recovery: ")) ++recovered;
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string now = ReadFile(tree_ + "/" + names[i]);
      EXPECT_TRUE(now == records[i] || now == data[i]) << names[i] << ": " << now.size();
    }
    EXPECT_TRUE(NoIntents());
  }
  std::printf("%d of %d rounds left a recall for the restart to settle\n", recovered, rounds);
}

// SIGTERM while openers wait on recalls: each is answered (the data, or EIO for a recall undone),
// the daemon exits 0, and every file is its whole stub or its whole data.
TEST_F(Recalld, SigtermAnswersEveryWaitingOpener) {
  std::vector<std::string> data, records;
  for (int i = 0; i < 4; ++i) {
    data.push_back(Random(8 << 20, static_cast<unsigned>(20 + i)));
    records.push_back(Stub("t" + std::to_string(i), data.back()));
  }
  Daemon d = StartOn("state", 1);
  std::vector<int> readers;
  for (int i = 0; i < 4; ++i) {
    readers.push_back(StartReader(tree_ + "/t" + std::to_string(i), data[i], records[i]));
  }
  // Until some of them wait in the kernel for the daemon's answer.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (int waiting = 0; waiting < 2 && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    waiting = 0;
    for (int pid : readers) {
      waiting += Contains(ReadFile("/proc/" + std::to_string(pid) + "/wchan"), "fanotify");
    }
  }
  EXPECT_EQ(Stop(d), 0) << d.log;
  int answered[4] = {};
  for (int pid : readers) {
    const int status = trhsm_test::WaitChild(pid, 60000);
    ASSERT_TRUE(status >= 0 && status <= 2) << status;
    ++answered[status];
  }
  EXPECT_GT(answered[2], 0) << "no opener was waiting when the daemon stopped\n" << d.log;
  for (int i = 0; i < 4; ++i) {
    const std::string now = ReadFile(tree_ + "/t" + std::to_string(i));
    EXPECT_TRUE(now == records[i] || now == data[i]) << i;
  }
}

}  // namespace
}  // namespace recalld_test
