// The chaos run's checker, fed small synthetic histories and tables: a sound
// history passes, and each way a customer may have been misled is reported.
#include <gtest/gtest.h>

#include "HistoryChecker.h"

namespace tt {
namespace {

class HistoryCheckerTest : public ::testing::Test {
 protected:
  // Requests follow each other a second apart, in the order added.
  HistoryEntry& add(const std::string& user, Op op, Told told, const std::string& title = "",
                    const std::string& text = "") {
    HistoryEntry e;
    e.session = user.empty() ? 0 : user.back() - '0';
    e.user = user;
    e.op = op;
    e.title = title;
    e.numbered = carriesTransaction(op);
    e.number = static_cast<short>(history_.size());
    e.start = Clock::time_point() + std::chrono::seconds(history_.size());
    e.end = e.start + std::chrono::milliseconds(500);
    e.told = told;
    e.text = text;
    history_.push_back(e);
    return history_.back();
  }
  void stock(const std::string& title, long long free, long long stock) {
    tables_.copies[title] = BusinessTables::Copies{free, stock};
  }
  void holds(const std::string& user, const std::string& title, int rows = 1) {
    tables_.held[{user, title}] = rows;
  }
  void waits(const std::string& user, const std::string& title) {
    tables_.waiting[{user, title}] = 1;
    tables_.queues[title].push_back({user, std::to_string(tables_.queues[title].size())});
  }
  // The breaches reported, in order.
  std::vector<Breach> breaches() {
    std::vector<Breach> out;
    for (const Violation& v : HistoryChecker(history_, tables_).check()) out.push_back(v.breach);
    return out;
  }
  std::vector<HistoryEntry> history_;
  BusinessTables tables_;
};

using B = std::vector<Breach>;
const char* const kPlacedInWaitlist =
    "The client already has 3 movies with him. So he cannot checkout a movie until he returns "
    "one. Placed in waitlist though!";

TEST_F(HistoryCheckerTest, SoundHistoryPasses) {
  add("u1", Op::Checkout, Told::Done, "A");
  add("u2", Op::Waitlist, Told::Done, "A");
  add("u1", Op::Return, Told::Done, "A");   // serves u2
  add("u1", Op::Checkout, Told::Unknown, "B");  // settled as not taken
  add("u1", Op::Checkout, Told::Failed, "C");
  add("u2", Op::CountHeld, Told::Done).held = 1;
  add("u1", Op::LogIn, Told::Done).ticketUser = "u1";
  holds("u2", "A");
  stock("A", 0, 1);
  stock("B", 1, 1);
  stock("C", 1, 1);
  EXPECT_EQ(breaches(), B{});
}

TEST_F(HistoryCheckerTest, DoneRequestMissingOrTwiceIsReported) {
  add("u1", Op::Checkout, Told::Done, "A");
  add("u2", Op::Checkout, Told::Done, "A");
  add("u2", Op::Return, Told::Done, "B");
  holds("u2", "A", 2);
  holds("u2", "B");
  stock("A", 1, 3);
  stock("B", 0, 1);
  EXPECT_EQ(breaches(), (B{Breach::DoneNotOnce, Breach::DoneNotOnce, Breach::DoneNotOnce}));
}

TEST_F(HistoryCheckerTest, FailedOrRefusedRequestThatTookEffectIsReported) {
  add("u1", Op::Checkout, Told::Failed, "A");
  add("u2", Op::Checkout, Told::Refused, "B", "No more copies of the movie available :(");
  add("u3", Op::Checkout, Told::Done, "C");
  add("u3", Op::Return, Told::Failed, "C");  // yet the copy is back
  holds("u1", "A");
  holds("u2", "B");
  stock("A", 0, 1);
  stock("B", 0, 1);
  stock("C", 1, 1);
  EXPECT_EQ(breaches(),
            (B{Breach::FailedTookEffect, Breach::FailedTookEffect, Breach::FailedTookEffect}));
}

TEST_F(HistoryCheckerTest, UnknownOutcomeTakenTwiceIsReported) {
  add("u1", Op::Waitlist, Told::Unknown, "A");
  waits("u1", "A");
  tables_.waiting[{"u1", "A"}] = 2;
  stock("A", 0, 1);
  holds("u9", "A");  // an account of the tables the run did not drive
  EXPECT_EQ(breaches(), (B{Breach::UnknownUnsettled, Breach::DoneNotOnce}));
}

TEST_F(HistoryCheckerTest, CopiesAndLimitOfThreeAreChecked) {
  for (const char* t : {"A", "B", "C", "D"}) {
    add("u1", Op::Checkout, Told::Done, t);
    holds("u1", t);
    stock(t, 0, 1);
  }
  stock("A", 1, 1);  // a copy both free and held
  EXPECT_EQ(breaches(), (B{Breach::CopiesNotConserved, Breach::OverLimit}));
}

TEST_F(HistoryCheckerTest, WaitingListServedOutOfOrderIsReported) {
  add("u1", Op::Waitlist, Told::Done, "A");
  add("u2", Op::Waitlist, Told::Done, "A");
  add("u3", Op::Waitlist, Told::Done, "B");
  waits("u1", "A");
  holds("u2", "A");  // served ahead of u1
  waits("u3", "B");  // while a copy of B is free
  stock("A", 0, 1);
  stock("B", 1, 1);
  EXPECT_EQ(breaches(), (B{Breach::WaitingOrder, Breach::WaitingOrder}));
}

TEST_F(HistoryCheckerTest, CustomerAtTheLimitMayBePassedOver) {
  for (const char* t : {"B", "C", "D"}) {
    add("u1", Op::Checkout, Told::Done, t);
    holds("u1", t);
    stock(t, 0, 1);
  }
  add("u1", Op::Checkout, Told::Refused, "A", kPlacedInWaitlist);
  add("u2", Op::Waitlist, Told::Done, "A");
  waits("u1", "A");
  holds("u2", "A");
  stock("A", 0, 1);
  EXPECT_EQ(breaches(), B{});
}

TEST_F(HistoryCheckerTest, AnswerWithAnotherCustomersDataIsReported) {
  add("u1", Op::LogIn, Told::Done).ticketUser = "u2";
  add("u1", Op::Checkout, Told::Done, "A");
  add("u1", Op::CountHeld, Told::Done).held = 2;
  holds("u1", "A");
  stock("A", 0, 1);
  EXPECT_EQ(breaches(), (B{Breach::ForeignAnswer, Breach::ForeignAnswer}));
}

TEST_F(HistoryCheckerTest, AccountsAndProfilesFollowWhatTheCustomerWasTold) {
  add("u1", Op::CreateAccount, Told::Done).phone = "1";
  add("u2", Op::CreateAccount, Told::Done).phone = "1";
  add("u2", Op::UpdateProfile, Told::Failed).phone = "2";
  add("u3", Op::CreateAccount, Told::Failed).phone = "1";
  add("u4", Op::CreateAccount, Told::Done).phone = "1";
  add("u4", Op::UpdateProfile, Told::Unknown).phone = "2";
  tables_.phones = {{"u2", "2"}, {"u3", "1"}, {"u4", "2"}};
  EXPECT_EQ(breaches(),
            (B{Breach::DoneNotOnce, Breach::FailedTookEffect, Breach::FailedTookEffect}));
}

}  // namespace
}  // namespace tt
