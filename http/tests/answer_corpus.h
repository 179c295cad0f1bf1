#pragma once
// The answers the reader's tests play: the stream tests' answers, good and bad, and the fuzz target's kept
// corpus, which holds one file for each framing rule. Shared by the split-point tests and the comparison
// with a second parser.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace answertest {

inline std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

// Every answer the stream tests play, good and bad.
inline std::vector<std::string> StreamTestAnswers() {
  const std::string kChunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  std::string many;
  for (int i = 0; i < 20000; ++i) many += "X-" + std::to_string(i) + ": " + std::string(50, 'v') + "\r\n";
  return {
      "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
      "HTTP/1.1 200 OK\r\n\r\n",
      std::string(kChunkedHead) + "5\r\nhello\r\na;ext=1\r\n0123456789\r\n0\r\n\r\n",
      std::string(kChunkedHead) + "zz\r\nabc\r\n0\r\n\r\n",
      std::string(kChunkedHead) + "5\r\nhelloXX3\r\nabc\r\n0\r\n\r\n",
      std::string(kChunkedHead) + "10000000000000000\r\n",
      std::string(kChunkedHead) + "a\r\nonly5",
      std::string(kChunkedHead) + "5\r\nhello\r\n",
      std::string(kChunkedHead) + std::string(5000, '1'),
      "HTTP/1.1 200\r\n\r\n",
      "ICY 200 OK\r\n\r\n",
      "HTTP/1.1 200 OK\r\nBad Header\r\n\r\n",
      "HTTP/1.1 200 OK\r\nA: b\r\n",
      "HTTP/1.1 200 OK" + std::string(9000, 'x'),
      "HTTP/1.1 200 OK\r\nA: " + std::string(70000, 'x'),
      "HTTP/1.1 200 OK\r\n" + many + "\r\n",
      "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nz",
      Repeat("HTTP/1.1 100 Continue\r\n\r\n", 40),
      "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n12345",
      "HTTP/1.1 302 Found\r\nLocation: http://[::1/x\r\n\r\n",
  };
}

// The fuzz target's kept answers (its first byte steers the fuzz target, not the answer).
inline std::vector<std::string> CorpusAnswers() {
  std::vector<std::string> answers;
  const boost::filesystem::path folder = boost::filesystem::path(QEL_SOURCE_DIR) / "http/fuzz/corpus/fuzz_response";
  for (const auto& entry : boost::filesystem::directory_iterator(folder)) {
    std::ifstream in(entry.path().string(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (text.str().size() > 1) answers.push_back(text.str().substr(1));
  }
  EXPECT_FALSE(answers.empty()) << folder;
  return answers;
}

inline std::vector<std::string> AllAnswers() {
  std::vector<std::string> answers = StreamTestAnswers();
  for (const std::string& kept : CorpusAnswers()) answers.push_back(kept);
  return answers;
}

}  // namespace answertest
