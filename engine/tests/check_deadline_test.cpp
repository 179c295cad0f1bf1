// The check request's time limits against a server that trickles or stalls (the scripted server): the
// whole attempt ends at its limit however the bytes come, and a stall ends at the step limit. The limits are
// made short here; the engine's own are two minutes and one. Bounds on the time taken only guard hangs.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "CheckRequest.h"
#include "scripted_server.h"

namespace {

using qeltest::TScript;
using qeltest::TScriptStep;
using std::chrono::milliseconds;

const std::string kBody = "{\"result\":\"success\",\"product_code\":\"P1\",\"product_version\":\"1.0\"}";

std::string Head(size_t length) { return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n"; }

// The bytes one at a time, a pause before each.
TScript Trickle(const std::string& bytes, milliseconds pause) {
  TScript script = {TScriptStep::ReadHead()};
  for (char c : bytes) {
    script.push_back(TScriptStep::Pause(pause));
    script.push_back(TScriptStep::SendBytes(std::string(1, c)));
  }
  return script;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(CheckDeadline, TheEngineLimitsAttemptsToTwoMinutesAndStepsToOne) {
  EXPECT_EQ(CCheckConnection::kAttemptTimeoutSeconds, 120);
  EXPECT_EQ(CCheckConnection::kStepTimeoutSeconds, 60);
}

TEST(CheckDeadline, AnAnswerInTimeIsReadWhole) {
  qeltest::ScriptedServer server({{TScriptStep::ReadHead(), TScriptStep::SendBytes(Head(kBody.size()) + kBody),
                                   TScriptStep::CloseNow()}});
  CCheckConnection connection(milliseconds(5000), milliseconds(10000));
  TCheckAttempt attempt = connection.Attempt(server.Url("/checkVersionInfo.html?product_code=P1"));
  EXPECT_TRUE(attempt.opened) << attempt.error_text;
  EXPECT_FALSE(attempt.read_failed) << attempt.read_error;
  EXPECT_EQ(attempt.body, kBody);
  ASSERT_EQ(server.Received().size(), 1u);
  std::string requestLine = "GET /checkVersionInfo.html?product_code=P1 HTTP/1.1\r\n";
  EXPECT_EQ(server.Received()[0].substr(0, requestLine.size()), requestLine);
}

TEST(CheckDeadline, AHeadTrickledByteByByteEndsTheAttemptAtItsLimit) {
  std::string answer = Head(kBody.size()) + kBody;
  qeltest::ScriptedServer server({Trickle(answer, milliseconds(100))});
  CCheckConnection connection(milliseconds(60000), milliseconds(1500));
  auto start = std::chrono::steady_clock::now();
  TCheckAttempt attempt = connection.Attempt(server.Url("/c"));
  double seconds = SecondsSince(start);
  EXPECT_FALSE(attempt.opened);
  EXPECT_EQ(attempt.error_value, static_cast<int>(boost::asio::error::timed_out));
  EXPECT_GE(seconds, 1.4) << "every byte came well within the step limit";
  EXPECT_LT(seconds, 30.0);
}

TEST(CheckDeadline, ABodyTrickledByteByByteEndsTheAttemptAtItsLimit) {
  TScript script = Trickle(kBody + kBody + kBody, milliseconds(100));
  script.insert(script.begin() + 1, TScriptStep::SendBytes(Head(3 * kBody.size())));
  qeltest::ScriptedServer server({script});
  CCheckConnection connection(milliseconds(60000), milliseconds(1500));
  auto start = std::chrono::steady_clock::now();
  TCheckAttempt attempt = connection.Attempt(server.Url("/c"));
  double seconds = SecondsSince(start);
  EXPECT_TRUE(attempt.opened);
  EXPECT_TRUE(attempt.read_failed);
  EXPECT_EQ(attempt.read_error, "answer not complete within 1500 ms");
  EXPECT_GT(attempt.body.size(), 0u) << "what came in time is kept";
  EXPECT_LT(attempt.body.size(), 3 * kBody.size());
  EXPECT_LT(seconds, 30.0);
  // The connection is fit for the next attempt.
  qeltest::ScriptedServer good({{TScriptStep::ReadHead(), TScriptStep::SendBytes(Head(kBody.size()) + kBody),
                                 TScriptStep::CloseNow()}});
  EXPECT_EQ(connection.Attempt(good.Url("/c")).body, kBody);
}

TEST(CheckDeadline, AServerThatStallsEndsTheStepAtItsLimit) {
  qeltest::ScriptedServer server({{TScriptStep::ReadHead(), TScriptStep::SendBytes(Head(kBody.size()) + "{"),
                                   TScriptStep::Pause(milliseconds(3000))},
                                  {TScriptStep::ReadHead(), TScriptStep::Pause(milliseconds(3000))}});
  CCheckConnection connection(milliseconds(500), milliseconds(60000));
  auto start = std::chrono::steady_clock::now();
  TCheckAttempt attempt = connection.Attempt(server.Url("/c"));
  EXPECT_TRUE(attempt.opened);
  EXPECT_EQ(attempt.read_error, "no data for 500 ms");
  EXPECT_EQ(attempt.body, "{");
  attempt = connection.Attempt(server.Url("/c"));
  EXPECT_FALSE(attempt.opened) << "a head that never comes";
  EXPECT_EQ(attempt.error_value, static_cast<int>(boost::asio::error::timed_out));
  EXPECT_LT(SecondsSince(start), 30.0);
}

}  // namespace
