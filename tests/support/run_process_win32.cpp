// Windows: CreateProcess with inherited pipes, one thread per output pipe, and a wait
// with the time limit.
#ifdef _WIN32
#include "support/run_process.h"

#include <windows.h>

#include <algorithm>
#include <mutex>

#include "platform/process.h"

namespace torvane::testing {
namespace {

// Pipes and process start happen under one lock, so that a program started by one
// thread never inherits the pipe ends meant for another thread's program (a pipe whose
// writer lives on in a stranger never ends).
std::mutex& start_lock() {
  static std::mutex lock;
  return lock;
}

void close_handle(HANDLE& h) {
  if (h != nullptr && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  h = nullptr;
}

// One argument quoted so that the program's start-up code splits it back unchanged:
// backslashes are literal except before a quote, where they are doubled.
std::string quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') out.append(2 * backslashes + 1, '\\');
    else out.append(backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, '\\');
  return out + "\"";
}

std::string upper_name(std::string_view entry) {
  std::string name(entry.substr(0, entry.find('=', 1)));
  for (char& c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return name;
}

// The current environment with the given entries added or replaced (names compare
// without regard to letter case), as a block of NUL-ended entries.
std::string environment_block(const std::vector<std::string>& additions) {
  std::vector<std::string> entries = additions;
  if (char* current = ::GetEnvironmentStringsA()) {
    for (const char* e = current; *e != '\0'; e += std::char_traits<char>::length(e) + 1) {
      const std::string name = upper_name(e);
      const bool replaced = std::any_of(additions.begin(), additions.end(),
                                        [&](const std::string& add) { return upper_name(add) == name; });
      if (!replaced) entries.emplace_back(e);
    }
    ::FreeEnvironmentStringsA(current);
  }
  std::string block;
  for (const std::string& e : entries) block.append(e).push_back('\0');
  block.push_back('\0');
  return block;
}

bool file_exists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The program file: the name as given, or with ".exe" when only that exists.
std::string program_file(const std::string& program) {
  if (file_exists(program) || !file_exists(program + ".exe")) return program;
  return program + ".exe";
}

// One pipe served by its own thread: read to its end, or written from data. It lives
// on the heap so that a thread whose wait could not be cancelled never writes into
// freed memory.
struct Pump {
  HANDLE pipe = nullptr;
  bool writing = false;
  std::string data;
};

DWORD WINAPI pump_main(void* argument) {
  Pump& pump = *static_cast<Pump*>(argument);
  if (pump.writing) {
    std::size_t written = 0;
    while (written < pump.data.size()) {
      DWORD put = 0;
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(pump.data.size() - written, 65536));
      if (!::WriteFile(pump.pipe, pump.data.data() + written, want, &put, nullptr)) break;
      written += put;
    }
  } else {
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(pump.pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) pump.data.append(buffer, got);
  }
  close_handle(pump.pipe);
  return 0;
}

}  // namespace

ProcessResult run_process(const std::string& program, const ProcessOptions& options) {
  ProcessResult result;
  const std::string file = program_file(program);
  std::string command = quoted(file);
  for (const std::string& arg : options.args) {
    command += ' ';
    command += quoted(arg);
  }
  std::string environment = environment_block(options.environment);

  // Our ends of the three pipes, and the child's, which it inherits.
  HANDLE to_child = nullptr, from_out = nullptr, from_err = nullptr;
  HANDLE child_in = nullptr, child_out = nullptr, child_err = nullptr;
  PROCESS_INFORMATION process{};
  {
    std::lock_guard lock(start_lock());
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    bool ok = ::CreatePipe(&child_in, &to_child, &inherit, 0) && ::CreatePipe(&from_out, &child_out, &inherit, 0) &&
              ::CreatePipe(&from_err, &child_err, &inherit, 0);
    if (ok) {
      ::SetHandleInformation(to_child, HANDLE_FLAG_INHERIT, 0);
      ::SetHandleInformation(from_out, HANDLE_FLAG_INHERIT, 0);
      ::SetHandleInformation(from_err, HANDLE_FLAG_INHERIT, 0);
      STARTUPINFOA startup{};
      startup.cb = sizeof startup;
      startup.dwFlags = STARTF_USESTDHANDLES;
      startup.hStdInput = child_in;
      startup.hStdOutput = child_out;
      startup.hStdError = child_err;
      ok = ::CreateProcessA(file.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                            environment.data(),
                            options.working_directory.empty() ? nullptr : options.working_directory.c_str(),
                            &startup, &process) != 0;
    }
    close_handle(child_in), close_handle(child_out), close_handle(child_err);
    if (!ok) {
      close_handle(to_child), close_handle(from_out), close_handle(from_err);
      return result;
    }
  }
  result.started = true;
  ::CloseHandle(process.hThread);

  auto* pumps = new Pump[3]{{from_out, false, {}}, {from_err, false, {}}, {to_child, true, options.input}};
  HANDLE threads[3] = {};
  DWORD count = 0;
  for (int i = 0; i < 3; ++i) {
    Pump& pump = pumps[i];
    if (pump.writing && pump.data.empty()) {
      close_handle(pump.pipe);  // nothing to send: the child sees the end of input at once
      continue;
    }
    threads[count] = ::CreateThread(nullptr, 0, pump_main, &pump, 0, nullptr);
    if (threads[count] == nullptr) close_handle(pump.pipe);
    else ++count;
  }

  const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(options.time_limit_seconds) * 1000;
  auto left = [&] {
    const ULONGLONG now = ::GetTickCount64();
    return now >= deadline ? DWORD{0} : static_cast<DWORD>(deadline - now);
  };
  if (::WaitForSingleObject(process.hProcess, left()) == WAIT_TIMEOUT) {
    result.timed_out = true;
    ::TerminateProcess(process.hProcess, 1);
    ::WaitForSingleObject(process.hProcess, INFINITE);
  }
  // A program the child started may still hold the pipes: the pumps get until the
  // deadline (at least a few seconds), then their waits are cancelled.
  bool pumps_done = true;
  if (count > 0 && ::WaitForMultipleObjects(count, threads, TRUE, std::max<DWORD>(left(), 5000)) == WAIT_TIMEOUT) {
    result.timed_out = true;
    for (DWORD i = 0; i < count; ++i) ::CancelSynchronousIo(threads[i]);
    pumps_done = ::WaitForMultipleObjects(count, threads, TRUE, 5000) != WAIT_TIMEOUT;
  }
  for (DWORD i = 0; i < count; ++i) ::CloseHandle(threads[i]);
  if (pumps_done) {
    result.out = std::move(pumps[0].data);
    result.err = std::move(pumps[1].data);
    delete[] pumps;
  }

  DWORD status = 0;
  if (::GetExitCodeProcess(process.hProcess, &status)) result.exit_status = static_cast<int>(status);
  ::CloseHandle(process.hProcess);
  return result;
}

}  // namespace torvane::testing
#endif
