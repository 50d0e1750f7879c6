#include "platform/event_log.h"

#include <cstdio>
#include <mutex>

#include "platform/narrow_file.h"
#include "platform/unique_resource.h"

namespace {

struct EventLogState {
  std::mutex lock;
  std::string path;
  long long maxBytes = kEventLogBytes;
};

EventLogState& State() {
  static EventLogState state;
  return state;
}

std::string OneLine(const std::string& text) {
  std::string line = text;
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return line;
}

// Makes room for bytes more: the full file becomes the older generation.
// False when the file is full and cannot be moved aside (another copy of
// the program has it open, say): the line is dropped then, so the bound holds.
bool MakeRoom(const EventLogState& state, std::size_t bytes) {
  const long long size = NarrowFileSize(state.path);
  if (size < 0 || size + static_cast<long long>(bytes) <= state.maxBytes) return true;
  return ReplaceNarrowPath(state.path, state.path + ".1");
}

}  // namespace

void StartEventLog(const std::string& path, long long maxBytes) {
  EventLogState& state = State();
  const std::lock_guard<std::mutex> hold(state.lock);
  state.path = path;
  state.maxBytes = maxBytes;
}

void StopEventLog() {
  StartEventLog("", kEventLogBytes);
}

std::string LoggedUrl(const std::string& url) {
  std::string text = url.substr(0, url.find_first_of("?#"));
  const std::size_t scheme = text.find("://");
  const std::size_t hostStart = scheme == std::string::npos ? 0 : scheme + 3;
  const std::size_t pathStart = text.find('/', hostStart);
  const std::size_t at = text.rfind('@', pathStart == std::string::npos ? std::string::npos : pathStart);
  if (at != std::string::npos && at >= hostStart) text.erase(hostStart, at + 1 - hostStart);
  return text;
}

std::string UtcTimestamp(std::time_t when) {
  char text[32] = "0000-00-00T00:00:00Z";
#ifdef _WIN32
  std::tm parts{};
  if (gmtime_s(&parts, &when) != 0) return text;
#else
  std::tm parts{};
  if (gmtime_r(&when, &parts) == nullptr) return text;
#endif
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

void LogEvent(const std::string& text) {
  EventLogState& state = State();
  try {
    const std::lock_guard<std::mutex> hold(state.lock);
    if (state.path.empty()) return;
    // Text mode: CR LF line ends on Windows, for Notepad.
    const std::string line = UtcTimestamp(std::time(nullptr)) + " " + OneLine(text) + "\n";
    if (!MakeRoom(state, line.size() + 1)) return;
    UniqueFile file(OpenNarrowPath(state.path, "at"));
    if (!file.valid()) return;
    std::fwrite(line.data(), 1, line.size(), file.get());
    CloseFile(file);
  } catch (...) {
    // Out of memory building the line: the event goes unlogged.
  }
}
