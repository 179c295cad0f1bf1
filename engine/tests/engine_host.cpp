// A host program for the engine tests: loads the engine library as the client or an updated product would,
// calls its exports as the command line says, and prints every message it receives, one line each.
//   engine_host service <until> <timeout-ms>        start the service; end when the messages and the log
//                                                   hold every "|"-separated text of <until>, and tell
//                                                   the process's peak and present memory
//   engine_host service2 <until-text> <timeout-ms>  the same, with the service started twice
//   engine_host again <when> <hive> <until> <timeout-ms>
//                                                   the service; once <when> is seen, <hive> becomes the
//                                                   user's registry and the service is started again, so
//                                                   that a pass runs at once
//   engine_host get [code]                          product count, the list, and one lookup
//   engine_host check <flag>                        the CheckUpdate export
//   engine_host misc                                StartUpdate and SetProductInfoEx edge calls
// With ENGINE_HOST_AGREE set, every update offered (type 3) is accepted through StartUpdate.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <mutex>
#include <string>
#include <vector>

#include "QelUpdate/QelUpdate.h"

namespace {

std::mutex g_lock;
std::condition_variable g_seen;
std::string g_until;
bool g_done = false;
std::string g_output;

// True when text holds every part of the "|"-separated list.
bool HoldsAll(const std::string& text, const std::string& parts) {
  size_t start = 0;
  while (start <= parts.size()) {
    size_t end = parts.find('|', start);
    if (end == std::string::npos) end = parts.size();
    if (text.find(parts.substr(start, end - start)) == std::string::npos) return false;
    start = end + 1;
  }
  return true;
}

void Print(const std::string& line) {
  std::lock_guard<std::mutex> hold(g_lock);
  fputs((line + "\n").c_str(), stdout);
  fflush(stdout);
  g_output += line + "\n";
  if (!g_until.empty() && HoldsAll(g_output, g_until)) {
    g_done = true;
    g_seen.notify_all();
  }
}

std::string ListText(const TProductInfo* rec) {
  std::string text;
  for (; rec; rec = rec->next) text += std::string(text.empty() ? "" : ",") + rec->code;
  return text;
}

void Callback(EMsgType type, void* payload) {
  switch (type) {
    case EMSG_STATUS:
    case EMSG_FATAL:
      Print("MSG " + std::to_string(type) + " " + static_cast<const char*>(payload));
      break;
    case EMSG_PRODUCT_LIST:
      Print("MSG 2 " + ListText(static_cast<TProductInfo*>(payload)));
      break;
    case EMSG_UPDATE_READY: {
      auto* rec = static_cast<TProductInfo*>(payload);
      const TUpdateInfo* info = rec->update_info;
      Print(std::string("MSG 3 ") + rec->code + " " + (info ? info->new_version : "-") + " " +
            (info ? info->package_file : "-") + " " + (info ? info->package_url : "-"));
      // As the client does when the user agrees: the same record straight back.
      if (getenv("ENGINE_HOST_AGREE") && info) {
        Print("BLOCK running=" + std::to_string(info->product_running) + " downloaded=" +
              std::to_string(info->package_downloaded));
        Print(std::string("AGREE ") + (StartUpdate(rec) ? "1" : "0"));
      }
      break;
    }
    default:
      Print("MSG " + std::to_string(type));
  }
}

std::string ProgramFolder() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string text(path, n > 0 ? static_cast<size_t>(n) : 0);
  return text.substr(0, text.find_last_of('/') + 1);
}

bool FileHolds(const std::string& path, const std::string& text) {
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  std::lock_guard<std::mutex> hold(g_lock);
  return HoldsAll(all.str() + g_output, text);
}

// The process's peak and present resident memory in kB, from the kernel's own figures.
std::string MemoryLine() {
  std::ifstream in("/proc/self/status");
  std::string peak = "?";
  std::string now = "?";
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string key;
    fields >> key;
    if (key == "VmHWM:") fields >> peak;
    if (key == "VmRSS:") fields >> now;
  }
  return "MEMORY peak=" + peak + " now=" + now;
}

// Waits until the messages or the log hold every text of until, or the time is up.
bool WaitToSee(const std::string& until, long timeout) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_until = until;
    g_done = HoldsAll(g_output, until);
  }
  // The text may also come as a log line (status lines are logged even without a receiver).
  std::string log = ProgramFolder() + "out.log";
  bool seen = false;
  for (long waited = 0; !seen && waited < timeout; waited += 20) {
    std::unique_lock<std::mutex> hold(g_lock);
    seen = g_seen.wait_for(hold, std::chrono::milliseconds(20), [] { return g_done; });
    hold.unlock();
    seen = seen || FileHolds(log, until);
  }
  return seen;
}

// The hive replaced whole, as an editor saving it does: the engine reads it again at its next pass.
bool ReplaceHive(const std::string& hive) {
  const char* folder = getenv("QEL_REGISTRY_DIR");
  if (!folder) return false;
  std::ifstream in(hive, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::string target = std::string(folder) + "/HKEY_CURRENT_USER.reg";
  std::ofstream out(target + ".new", std::ios::binary | std::ios::trunc);
  out << text.str();
  out.close();
  return in && out && rename((target + ".new").c_str(), target.c_str()) == 0;
}

int Service(int argc, char** argv, int starts) {
  std::string until = argc > 2 ? argv[2] : "";
  long timeout = argc > 3 ? atol(argv[3]) : 10000;
  UpdateMessageCallback cb = getenv("ENGINE_HOST_NULL_CALLBACK") ? nullptr : Callback;
  for (int i = 0; i < starts; ++i) Print(std::string("START ") + (StartUpdateService(cb) ? "1" : "0"));
  bool seen = WaitToSee(until, timeout);
  Print(MemoryLine());
  StopUpdateService();
  Print(seen ? "SEEN" : "TIMEOUT");
  // The engine's threads are detached and run until the process ends, as in the client.
  fflush(stdout);
  _exit(0);
}

int Again(int argc, char** argv) {
  if (argc < 6) return 2;
  long timeout = atol(argv[5]);
  Print(std::string("START ") + (StartUpdateService(Callback) ? "1" : "0"));
  bool seen = WaitToSee(argv[2], timeout);
  if (seen) {
    Print(std::string("HIVE ") + (ReplaceHive(argv[3]) ? "1" : "0"));
    Print(std::string("START ") + (StartUpdateService(Callback) ? "1" : "0"));
    seen = WaitToSee(argv[4], timeout);
  }
  StopUpdateService();
  Print(seen ? "SEEN" : "TIMEOUT");
  fflush(stdout);
  _exit(0);
}

int Get(int argc, char** argv) {
  int count = GetProductInfoEx(nullptr, nullptr);
  Print("COUNT " + std::to_string(count));
  std::vector<TProductInfo> out(count > 0 ? count : 1);
  int again = GetProductInfoEx(nullptr, out.data());
  std::string codes;
  for (int i = 0; i < again && i < count; ++i) codes += std::string(i ? "," : "") + out[i].code;
  Print("LIST " + codes);
  if (argc > 2) {
    TProductInfo one;
    memset(&one, 0, sizeof one);
    strcpy(one.code, "untouched");
    int n = GetProductInfoEx(argv[2], &one);
    Print("FIND " + std::to_string(n) + " " + one.code + " " + one.current_version);
    Print("FINDNULL " + std::to_string(GetProductInfoEx(argv[2], nullptr)));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string command = argv[1];
  if (command == "service") return Service(argc, argv, 1);
  if (command == "service2") return Service(argc, argv, 2);
  if (command == "again") return Again(argc, argv);
  if (command == "get") return Get(argc, argv);
  if (command == "check") {
    Print("CHECK " + std::to_string(CheckUpdate(argc > 2 ? atoi(argv[2]) : 1)));
    return 0;
  }
  if (command == "misc") {
    TProductInfo rec;
    memset(&rec, 0, sizeof rec);
    strcpy(rec.code, "P1");
    Print(std::string("STARTUPDATE ") + (StartUpdate(&rec) ? "1" : "0"));
    Print("SETNULL " + std::to_string(SetProductInfoEx(nullptr)));
    Print("SET " + std::to_string(SetProductInfoEx(&rec)));
    return 0;
  }
  return 2;
}
