// The reader beside a second, widely used HTTP/1.1 parser (h11, as Debian ships it) over the same answers:
// every answer of the split-point corpus must come out the same (complete, with the same status, body and
// bytes left after it, or refused), but for the few listed below, where the reader deliberately differs.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "answer_corpus.h"
#include "response_feed.h"
#include "test_support.h"

namespace {

const char kPython[] = "/usr/bin/python3";

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out.empty() ? "-" : out;
}

// The reader's verdict in the peer script's words.
std::string OurOutcome(const std::string& answer) {
  const readertest::TOutcome out = readertest::Feed(answer, readertest::Whole(answer));
  if (out.last != readertest::state::complete) return "error";
  return "ok " + std::to_string(out.status) + " " + Hex(out.body) + " " + std::to_string(out.leftover);
}

std::vector<std::string> PeerOutcomes(const std::vector<std::string>& answers) {
  qeltest::TempDir dir;
  const std::string input = dir.file("answers");
  {
    std::ofstream out(input, std::ios::binary);
    for (const std::string& answer : answers) out << answer.size() << "\n" << answer;
  }
  const std::string script = std::string(QEL_SOURCE_DIR) + "/http/tests/peers/h11_reader.py";
  std::string output;
  const int status = qeltest::RunCommand(std::string(kPython) + " " + script + " " + input, &output);
  EXPECT_EQ(status, 0) << output;
  std::vector<std::string> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Where the reader differs from the peer on purpose; each is kept because the answer still differs.
struct TDifference {
  std::string answer_start;  // the answer begins with this
  std::string why;
};

const TDifference kDifferences[] = {
    {"HTTP/1.1 200\r\n", "a status line without the space before its (empty) reason is refused"},
    {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\nX-Sum:",
     "a close inside the trailer after the last chunk loses no body byte"},
    {"HTTP/1.1 200 OK\r\n" + std::string("X-0: "), "a header block past the reader's 1 MiB limit"},
    {answertest::Repeat("HTTP/1.1 100 Continue\r\n\r\n", 17) + "HTTP/1.1 204",
     "more interim answers than the reader's limit"},
    {"HTTP/1.1 101 Switching Protocols\r\n",
     "a 101 the client did not ask for is a final answer (an error status to the caller), not a protocol error"},
    {"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-4/18446744073709551626\r\n",
     "a Content-Range total past 63 bits is refused (the peer does not read the field)"},
};

const TDifference* Known(const std::string& answer) {
  for (const TDifference& d : kDifferences) {
    if (answer.compare(0, d.answer_start.size(), d.answer_start) == 0) return &d;
  }
  return nullptr;
}

TEST(Differential, TheReaderAndH11FrameEveryAnswerAlike) {
  std::vector<std::string> answers = answertest::AllAnswers();
  answers.push_back(answertest::Repeat("HTTP/1.1 100 Continue\r\n\r\n", 17) + "HTTP/1.1 204 No Content\r\n\r\n");
  answers.push_back(std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n") +
                    "5\r\nhello\r\n0\r\nX-Sum:");
  const std::vector<std::string> peer = PeerOutcomes(answers);
  ASSERT_EQ(peer.size(), answers.size()) << "is python3-h11 installed? (scripts/install-deps)";
  for (size_t i = 0; i < answers.size(); ++i) {
    const std::string ours = OurOutcome(answers[i]);
    const TDifference* known = Known(answers[i]);
    SCOPED_TRACE(answers[i].substr(0, 120));
    if (known) {
      EXPECT_NE(ours, peer[i]) << "listed as a difference, but both read it alike: " << known->why;
      continue;
    }
    EXPECT_EQ(ours, peer[i]);
  }
}

}  // namespace
