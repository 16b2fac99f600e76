// Card numbers never repeat when several front desks (processes) or several
// hosts in one process (threads) issue cards on one hotel database.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "card/card_image.h"
#include "holvanter/tavo_card.h"
#include "test_hotel.h"

namespace holvanter {
namespace {

using testing::TestHotel;

// Issues `count` guest cards on this thread; the number of failures. The
// simulated encoder is one device per process: hosts on several threads
// leave it open for each other. A byte goes to `progress_fd` (when given)
// after each card.
int IssueCards(int count, int16_t floor, bool close_encoder, int progress_fd = -1) {
  TavoCard card;
  if (card.OpenPort(0) != 1) return count;
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    std::string card_no;
    if (card.WriteCard(0, "200710201230", "200710221200", card_no, 1, floor, "0201",
                       "Desk guest") != 0)
      ++failures;
    if (progress_fd >= 0 && write(progress_fd, "c", 1) != 1) ++failures;
  }
  if (close_encoder) card.ClosePort();
  return failures;
}

void ExpectDistinct(TestHotel& hotel, int cards) {
  const std::string n = std::to_string(cards);
  EXPECT_EQ(hotel.Value("SELECT COUNT(*) FROM CardRecord"), n);
  EXPECT_EQ(hotel.Value("SELECT COUNT(DISTINCT CardNo) FROM CardRecord"), n);
  EXPECT_EQ(hotel.Value("SELECT COUNT(DISTINCT InfoNo) FROM CardRecord"), n);
  EXPECT_EQ(hotel.Value("SELECT MAX(CardNo) FROM CardRecord"), CardNoRecordForm(static_cast<uint32_t>(cards)));
}

}  // namespace

// A front desk process with an encoder of its own, issuing `count` cards;
// it exits 0 when all were issued.
pid_t StartDesk(TestHotel& hotel, int desk, int count, int progress_fd = -1) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const std::string dir = hotel.folder() + "/desk" + std::to_string(desk);
  std::filesystem::create_directories(dir);
  setenv("LYCOMM_SIM_DIR", dir.c_str(), 1);
  std::ofstream(dir + "/port1.card", std::ios::binary)
      << std::string("\x5C\x1E\x93\xA7", 4) << std::string(28, '\xFF');
  int failures = 1;
  try {
    failures = IssueCards(count, 2, true, progress_fd);
  } catch (...) {
  }
  _exit(failures == 0 ? 0 : 1);
}

TEST(ConcurrentIssue, FourProcessesOfAHundredCardsGetFourHundredNumbers) {
  TestHotel hotel;
  std::vector<pid_t> desks;
  for (int desk = 0; desk < 4; ++desk) {
    desks.push_back(StartDesk(hotel, desk, 100));
    ASSERT_NE(desks.back(), -1);
  }
  for (pid_t pid : desks) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "desk process " << pid;
  }
  ExpectDistinct(hotel, 400);
  EXPECT_EQ(hotel.Value("SELECT CardQTY FROM RoomList WHERE BuildNo = 1 AND FloorNo = 2 AND "
                        "RoomNo = '0201'"),
            "400");
}

// One desk dies amid the run, perhaps holding the numbering turn or between
// its statements: the other three finish their hundred each, and the
// numbers stay distinct and without a gap.
TEST(ConcurrentIssue, ADeskKilledAmidFourDesksLeavesTheOthersToFinish) {
  TestHotel hotel;
  int progress[2];
  ASSERT_EQ(pipe(progress), 0);
  std::vector<pid_t> desks;
  for (int desk = 0; desk < 4; ++desk) {
    desks.push_back(StartDesk(hotel, desk, 100, desk == 0 ? progress[1] : -1));
    ASSERT_NE(desks.back(), -1);
  }
  close(progress[1]);
  // Desk 0 dies right after its 25th card, amid its 26th.
  char cards_issued[25];
  std::size_t seen = 0;
  while (seen < sizeof cards_issued) {
    const ssize_t n = read(progress[0], cards_issued, sizeof cards_issued - seen);
    if (n <= 0) break;
    seen += static_cast<std::size_t>(n);
  }
  EXPECT_EQ(seen, sizeof cards_issued);
  kill(desks[0], SIGKILL);
  close(progress[0]);
  for (pid_t pid : desks) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (pid == desks[0]) {
      EXPECT_TRUE(WIFSIGNALED(status)) << "the desk finished before it could be killed";
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "desk process " << pid;
    }
  }
  const int cards = std::stoi(hotel.Value("SELECT COUNT(*) FROM CardRecord"));
  EXPECT_GE(cards, 300);
  EXPECT_LT(cards, 400);
  ExpectDistinct(hotel, cards);
}

TEST(ConcurrentIssue, FourThreadsOfOneHostGetDistinctNumbers) {
  TestHotel hotel;
  std::vector<std::thread> hosts;
  std::vector<int> failures(4, -1);
  for (int i = 0; i < 4; ++i)
    hosts.emplace_back([&failures, i] {
      try {
        failures[i] = IssueCards(25, 2, false);
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
      }
    });
  for (auto& t : hosts) t.join();
  for (int f : failures) EXPECT_EQ(f, 0);
  ExpectDistinct(hotel, 100);
}

}  // namespace holvanter
