// Card numbers never repeat when several front desks (processes) or several
// hosts in one process (threads) issue cards on one hotel database.
#include <gtest/gtest.h>
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
// leave it open for each other.
int IssueCards(int count, int16_t floor, bool close_encoder) {
  TavoCard card;
  if (card.OpenPort(0) != 1) return count;
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    std::string card_no;
    if (card.WriteCard(0, "200710201230", "200710221200", card_no, 1, floor, "0201",
                       "Desk guest") != 0)
      ++failures;
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

TEST(ConcurrentIssue, FourProcessesOfAHundredCardsGetFourHundredNumbers) {
  TestHotel hotel;
  std::vector<pid_t> desks;
  for (int desk = 0; desk < 4; ++desk) {
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
      // Each desk has an encoder of its own.
      const std::string dir = hotel.folder() + "/desk" + std::to_string(desk);
      std::filesystem::create_directories(dir);
      setenv("LYCOMM_SIM_DIR", dir.c_str(), 1);
      std::ofstream(dir + "/port1.card", std::ios::binary)
          << std::string("\x5C\x1E\x93\xA7", 4) << std::string(28, '\xFF');
      int failures = 1;
      try {
        failures = IssueCards(100, 2, true);
      } catch (...) {
      }
      _exit(failures == 0 ? 0 : 1);
    }
    desks.push_back(pid);
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
