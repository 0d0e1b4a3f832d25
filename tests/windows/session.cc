#include "session.h"

#include <cstdio>

bool child::start(const std::string &command_line, DWORD flags) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE their_in = nullptr, their_out = nullptr;
  if (!CreatePipe(&their_in, &input, &inherit, 1 << 20) ||
      !CreatePipe(&output, &their_out, &inherit, 1 << 20))
    return false;
  // Our ends stay ours.
  SetHandleInformation(input, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = their_in;
  si.hStdOutput = their_out;
  si.hStdError = their_out;
  PROCESS_INFORMATION pi = {};
  std::string line = command_line;
  bool ok =
      CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &si, &pi) != 0;
  CloseHandle(their_in);
  CloseHandle(their_out);
  if (!ok) return false;
  CloseHandle(pi.hThread);
  process = pi.hProcess;
  id = pi.dwProcessId;
  return true;
}

bool child::write(const std::string &text) {
  for (size_t done = 0; done < text.size();) {
    DWORD n = 0;
    if (!WriteFile(input, text.data() + done, static_cast<DWORD>(text.size() - done), &n, nullptr))
      return false;
    done += n;
  }
  return true;
}

void child::close_input() {
  if (input != nullptr) CloseHandle(input);
  input = nullptr;
}

bool child::line(std::string *out, DWORD ms) {
  DWORD until = GetTickCount() + ms;
  for (;;) {
    size_t newline = pending.find('\n');
    if (newline != std::string::npos) {
      *out = pending.substr(0, newline);
      crlf = !out->empty() && out->back() == '\r';
      if (crlf) out->pop_back();
      pending.erase(0, newline + 1);
      return true;
    }
    DWORD ready = 0;
    if (!PeekNamedPipe(output, nullptr, 0, nullptr, &ready, nullptr)) return false;
    if (ready == 0) {
      if (static_cast<LONG>(GetTickCount() - until) >= 0) return false;
      Sleep(1);
      continue;
    }
    char buf[4096];
    DWORD n = 0;
    if (!ReadFile(output, buf, ready < sizeof buf ? ready : sizeof buf, &n, nullptr) || n == 0) return false;
    pending.append(buf, n);
  }
}

DWORD child::wait(DWORD ms) {
  WaitForSingleObject(process, ms);
  DWORD status = 0;
  GetExitCodeProcess(process, &status);
  return status;
}

child::~child() {
  close_input();
  if (process != nullptr) {
    if (WaitForSingleObject(process, 2000) != WAIT_OBJECT_0) TerminateProcess(process, 1);
    CloseHandle(process);
  }
  if (output != nullptr) CloseHandle(output);
}

bool observer::start(const std::string &program) {
  if (!c_.start(quoted(program))) return false;
  std::string line;
  while (c_.line(&line, 20000)) {
    if (sscanf(line.c_str(), "ready %d %d", &width, &height) == 2) return true;
    fprintf(stderr, "observer: %s\n", line.c_str());
  }
  return false;
}

std::vector<std::string> observer::sync() {
  std::vector<std::string> lines;
  c_.write("sync\n");
  std::string line;
  while (c_.line(&line, 10000) && line != "sync") lines.push_back(line);
  return lines;
}

std::string observer::held() {
  c_.write("held\n");
  std::string line;
  while (c_.line(&line, 10000))
    if (line.rfind("held", 0) == 0) return line;
  return "no answer";
}

std::string quoted(const std::string &arg) {
  std::string out = "\"";
  size_t slashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      slashes++;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped; elsewhere they stand.
    out.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
    slashes = 0;
    out += c;
  }
  out.append(2 * slashes, '\\');
  return out + "\"";
}
