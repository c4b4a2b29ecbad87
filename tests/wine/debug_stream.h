// What a process writes to the debugger stream (OutputDebugString), read in
// the same process by taking the part of a debug monitor: the shared buffer
// "DBWIN_BUFFER" and the events "DBWIN_BUFFER_READY" / "DBWIN_DATA_READY".
// Only this process's lines are kept. One at a time per Wine prefix.
#pragma once

#include <windows.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace e2e {

class DebugStream {
 public:
  DebugStream() {
    m_bufferReady = ::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    m_dataReady = ::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
    m_mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBufferSize, L"DBWIN_BUFFER");
    if (m_mapping != nullptr) m_view = static_cast<const char*>(::MapViewOfFile(m_mapping, FILE_MAP_READ, 0, 0, 0));
    m_stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (m_bufferReady != nullptr && m_dataReady != nullptr && m_view != nullptr && m_stop != nullptr)
      m_thread = ::CreateThread(nullptr, 0, &DebugStream::Run, this, 0, nullptr);
  }

  ~DebugStream() {
    if (m_thread != nullptr) {
      ::SetEvent(m_stop);
      ::WaitForSingleObject(m_thread, 5000);
      ::CloseHandle(m_thread);
    }
    if (m_view != nullptr) ::UnmapViewOfFile(m_view);
    for (HANDLE h : {m_mapping, m_bufferReady, m_dataReady, m_stop})
      if (h != nullptr) ::CloseHandle(h);
  }

  DebugStream(const DebugStream&) = delete;
  DebugStream& operator=(const DebugStream&) = delete;

  bool ok() const { return m_thread != nullptr; }

  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
  }

  // How many lines so far contain the text.
  int Count(const std::string& text) const {
    int n = 0;
    for (const std::string& line : Lines())
      if (line.find(text) != std::string::npos) ++n;
    return n;
  }

  // Every line so far, for a failure's message.
  std::string Text() const {
    std::string text;
    for (const std::string& line : Lines()) text += line;
    return text;
  }

  // The number of lines containing the text once at least `atLeast` of them
  // came (waiting up to `milliseconds`) and the stream then stayed quiet
  // for a moment: lines reach the reader a little after they were written.
  int Settled(const std::string& text, int atLeast, DWORD milliseconds = 5000) const {
    WaitFor(text, atLeast, milliseconds);
    size_t seen = Lines().size();
    for (;;) {
      ::Sleep(200);
      const size_t now = Lines().size();
      if (now == seen) return Count(text);
      seen = now;
    }
  }

  // Waits up to `milliseconds` for `count` lines containing the text.
  bool WaitFor(const std::string& text, int count, DWORD milliseconds) const {
    const DWORD start = ::GetTickCount();
    while (Count(text) < count) {
      if (::GetTickCount() - start > milliseconds) return false;
      ::Sleep(20);
    }
    return true;
  }

 private:
  static constexpr DWORD kBufferSize = 4096;

  static DWORD WINAPI Run(LPVOID self) {
    static_cast<DebugStream*>(self)->Serve();
    return 0;
  }

  void Serve() {
    const HANDLE waits[2] = {m_stop, m_dataReady};
    ::SetEvent(m_bufferReady);
    for (;;) {
      const DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
      if (woke != WAIT_OBJECT_0 + 1) return;
      DWORD pid = 0;
      std::memcpy(&pid, m_view, sizeof pid);
      const char* text = m_view + sizeof pid;
      const std::string line(text, strnlen(text, kBufferSize - sizeof pid));
      if (pid == ::GetCurrentProcessId()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(line);
      }
      ::SetEvent(m_bufferReady);
    }
  }

  HANDLE m_bufferReady = nullptr;
  HANDLE m_dataReady = nullptr;
  HANDLE m_mapping = nullptr;
  HANDLE m_stop = nullptr;
  HANDLE m_thread = nullptr;
  const char* m_view = nullptr;
  mutable std::mutex m_mutex;
  std::vector<std::string> m_lines;
};

}  // namespace e2e
