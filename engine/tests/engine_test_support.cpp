#include "engine_test_support.h"

#include <sys/stat.h>

#include <chrono>

namespace enginetest {

namespace {

class CCaptureWriter : public QEL::CLogWriter {
 public:
  explicit CCaptureWriter(CLogCapture* capture) : m_capture(capture) {}
  int Write(QEL::ELogLevel level, const char* text) override {
    m_capture->Add(level, text);
    return -1;
  }

 private:
  CLogCapture* m_capture;
};

}  // namespace

std::string Hive(const std::string& body) {
  return "Windows Registry Editor Version 5.00\r\n\r\n" + body;
}

std::string Main(const std::string& root, const std::string& values) {
  return "[" + root + "\\SOFTWARE\\Tavrin]\r\n" + values + "\r\n";
}

std::string Complete(const std::string& code) {
  return "\"code\"=\"" + code + "\"\r\n\"current_version\"=\"1.0\"\r\n\"execute_file\"=\"/opt/" + code + "\"\r\n";
}

std::string ProductKey(const std::string& root, const std::string& sub, const std::string& values) {
  return "[" + root + "\\SOFTWARE\\Tavrin\\ProductList\\" + sub + "]\r\n" + values + "\r\n";
}

CEngineEnv::CEngineEnv()
    : dir("engine"),
      m_temp(dir.file("temp")),
      m_registry("QEL_REGISTRY_DIR", dir.path().c_str()),
      m_tmpdir("TMPDIR", m_temp.c_str()) {
  mkdir(m_temp.c_str(), 0700);
}

void CEngineEnv::WriteUser(const std::string& body) {
  qeltest::WriteFile(dir.file("HKEY_CURRENT_USER.reg"), Hive(body));
}

void CEngineEnv::WriteMachine(const std::string& body) {
  qeltest::WriteFile(dir.file("HKEY_LOCAL_MACHINE.reg"), Hive(body));
}

CLogCapture::CLogCapture() { g_Log.SetWriter(new CCaptureWriter(this)); }

CLogCapture::~CLogCapture() { g_Log.SetWriter(nullptr); }

void CLogCapture::Add(int level, const std::string& text) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_lines.push_back("[" + std::to_string(level) + "] " + text);
  m_changed.notify_all();
}

std::vector<std::string> CLogCapture::Lines() {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_lines;
}

std::string CLogCapture::All() {
  std::string all;
  for (const std::string& line : Lines()) all += line + "\n";
  return all;
}

bool CLogCapture::Contains(const std::string& text) { return All().find(text) != std::string::npos; }

bool CLogCapture::WaitFor(const std::string& text, int milliseconds) {
  std::unique_lock<std::mutex> hold(m_lock);
  return m_changed.wait_for(hold, std::chrono::milliseconds(milliseconds), [&] {
    for (const std::string& line : m_lines)
      if (line.find(text) != std::string::npos) return true;
    return false;
  });
}

CHost::CHost() : dir("enginehost"), registry(dir.file("registry")), temp(dir.file("temp")) {
  mkdir(registry.c_str(), 0755);
  mkdir(temp.c_str(), 0755);
  qeltest::RunCommand("cp " + std::string(QEL_TEST_BIN_DIR) + "/engine_host " + dir.file("engine_host"));
  qeltest::WriteFileLogConfig(dir.path());
}

std::string CHost::Run(const std::string& args, const std::string& env, int* status) {
  std::string out;
  std::string cmd = "cd / && env QEL_REGISTRY_DIR=" + registry + " TMPDIR=" + temp + " LD_LIBRARY_PATH=" +
                    std::string(QEL_BIN_DIR) + " " + env + " " + dir.file("engine_host") + " " + args;
  int rc = qeltest::RunCommand(cmd, &out);
  if (status) *status = rc;
  return out;
}

std::string CHost::Log() const { return qeltest::ReadFile(dir.file("out.log")); }

}  // namespace enginetest
