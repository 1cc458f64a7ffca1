// A Windows helper for the end-to-end tests, run under Wine beside the
// uninstaller. It starts the uninstaller as a child, watches for its message
// box from outside, reads the box, presses OK, and reports what it saw.
//
//   e2e_tool run [--root VALUE] [--refuse] [--hold PATH] [--linger MS]
//                [--hidden-station] [--walk-stack] EXE [ARG...]
//   e2e_tool attributes PATH           prints the attributes in hex, or "missing"
//   e2e_tool set-attributes PATH HEX
//   e2e_tool show-box                  shows a plain box with the uninstaller's
//                                      caption, without any guard on where
//                                      DLLs come from
//   e2e_tool guarded-box               the same, after restricting DLL search
//                                      to system32 as the uninstaller does
//   e2e_tool run-level EXE             prints the run level and uiAccess that
//                                      the system reads from EXE's manifest
//   e2e_tool dpi-settings EXE          prints dpi_aware, dpi_awareness and the
//                                      number of assemblies, read the same way
//   e2e_tool station-flags             exits with its window station's flags
//
// "run" prints one "key=value" line for each fact, texts as hex bytes so that
// a CR LF survives the trip:
//   box=yes|no  caption=HEX  text=HEX  buttons=OK,...  icon=yes|no
//   running_with_box=yes|no  exit=N  ms=N (from start to exit)
//   tool_thread=XXXX (this tool's thread, as Wine's traces name it, so that its
//   own file calls can be told from the uninstaller's)
//   --root VALUE  gives the child an environment whose "SystemRoot" is VALUE
//   --refuse      locks the key that holds the pending deletions while it runs
//   --hold PATH   keeps PATH open without sharing while it runs
//   --linger MS   leaves the box up for MS first, for a person to press OK or
//                 a screenshot to be taken; the box lines are written at once
//   --hidden-station  starts EXE on a new window station that no user sees,
//                 and looks for its box there
//   --walk-stack  walks EXE's main thread while the box is up: frame=NAME for
//                 each frame, program_frames=N, thread_start=NAME|none

#include <windows.h>
// After windows.h, which they need.
#include <dbghelp.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/dll_search_guard.h"

namespace {

const char kCaption[] = "Uninstallation Completed";
const char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";
const DWORD kBoxTimeoutMs = 30000;
const DWORD kExitTimeoutMs = 30000;

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string WindowText(HWND window) {
  char buffer[1024] = {};
  GetWindowTextA(window, buffer, sizeof buffer);
  return buffer;
}

std::string ClassName(HWND window) {
  char buffer[256] = {};
  GetClassNameA(window, buffer, sizeof buffer);
  return buffer;
}

struct BoxSearch {
  DWORD process_id;
  HWND box;
};

BOOL CALLBACK FindBox(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<BoxSearch*>(parameter);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == search->process_id && ClassName(window) == "#32770" && WindowText(window) == kCaption) {
    search->box = window;
    return FALSE;
  }
  return TRUE;
}

struct BoxContents {
  std::vector<std::string> buttons;
  bool icon = false;
};

BOOL CALLBACK ReadChild(HWND child, LPARAM parameter) {
  auto* contents = reinterpret_cast<BoxContents*>(parameter);
  if (!IsWindowVisible(child)) return TRUE;  // message boxes hide the controls they do not use
  const std::string class_name = ClassName(child);
  const LONG style = GetWindowLongA(child, GWL_STYLE);
  if (class_name == "Button") contents->buttons.push_back(WindowText(child));
  if (class_name == "Static" && (style & SS_TYPEMASK) == SS_ICON &&
      SendMessageA(child, STM_GETICON, 0, 0) != 0)
    contents->icon = true;
  return TRUE;
}

// Builds an environment block: the caller's own entries without any
// "SystemRoot", led by two "SystemRoot" entries in other letter cases. Wine
// rewrites the first one it finds to its own root; the second carries VALUE.
std::string EnvironmentWithRoot(const std::string& value) {
  std::string block = std::string("SYSTEMROOT=x") + '\0' + "systemroot=" + value + '\0';
  char* own = GetEnvironmentStringsA();
  for (const char* entry = own; *entry != '\0'; entry += strlen(entry) + 1) {
    if (_strnicmp(entry, "SystemRoot=", 11) != 0) block += std::string(entry) + '\0';
  }
  FreeEnvironmentStringsA(own);
  return block + '\0';
}

// Locks the key that records pending deletions with an empty DACL, so that
// every request to add one is refused; Unlock puts its own security back.
class SessionManagerLock {
 public:
  bool Lock() {
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, READ_CONTROL | WRITE_DAC, &key_) != ERROR_SUCCESS)
      return false;
    DWORD size = 0;
    RegGetKeySecurity(key_, DACL_SECURITY_INFORMATION, nullptr, &size);
    saved_.resize(size);
    if (RegGetKeySecurity(key_, DACL_SECURITY_INFORMATION, saved_.data(), &size) != ERROR_SUCCESS) return false;
    SECURITY_DESCRIPTOR locked;
    ACL empty;
    InitializeSecurityDescriptor(&locked, SECURITY_DESCRIPTOR_REVISION);
    InitializeAcl(&empty, sizeof empty, ACL_REVISION);
    SetSecurityDescriptorDacl(&locked, TRUE, &empty, FALSE);
    return RegSetKeySecurity(key_, DACL_SECURITY_INFORMATION, &locked) == ERROR_SUCCESS;
  }
  bool Unlock() {
    if (key_ == nullptr) return true;
    const bool ok = RegSetKeySecurity(key_, DACL_SECURITY_INFORMATION, saved_.data()) == ERROR_SUCCESS;
    RegCloseKey(key_);
    key_ = nullptr;
    return ok;
  }

 private:
  HKEY key_ = nullptr;
  std::vector<char> saved_;
};

std::string Quoted(const std::string& argument) { return "\"" + argument + "\""; }

// A window station of the tool's own, with one desktop, that no user sees:
// what a deployment tool running as SYSTEM in session 0 starts programs on.
// A desktop is made on the calling process's station, hence the switch.
const char kHiddenDesktop[] = "E2EHiddenStation\\Default";
HDESK CreateHiddenDesktop() {
  HWINSTA own = GetProcessWindowStation();
  HWINSTA station = CreateWindowStationA("E2EHiddenStation", 0, WINSTA_ALL_ACCESS, nullptr);
  if (station == nullptr || !SetProcessWindowStation(station)) return nullptr;
  HDESK desktop = CreateDesktopA("Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  SetProcessWindowStation(own);
  return desktop;
}

// Exits with the UOI_FLAGS of its own window station (WSF_VISIBLE is 1), 255
// when they cannot be read: what a program started there sees.
int StationFlags() {
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  if (!GetUserObjectInformationA(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &needed)) return 255;
  return static_cast<int>(flags.dwFlags);
}

// "module!function+0xoffset" for ADDRESS in PROCESS, or "module+0xoffset"
// where no symbol names it (the program is stripped); FUNCTION gets the name.
std::string FrameName(HANDLE process, DWORD64 address, std::string& function) {
  IMAGEHLP_MODULE64 module = {};
  module.SizeOfStruct = sizeof module;
  const std::string module_name = SymGetModuleInfo64(process, address, &module) ? module.ModuleName : "?";
  alignas(SYMBOL_INFO) char buffer[sizeof(SYMBOL_INFO) + 256] = {};
  auto* symbol = reinterpret_cast<SYMBOL_INFO*>(buffer);
  symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
  symbol->MaxNameLen = 255;
  DWORD64 displacement = 0;
  char text[512];
  if (SymFromAddr(process, address, &displacement, symbol)) {
    function = symbol->Name;
    snprintf(text, sizeof text, "%s!%s+0x%llx", module_name.c_str(), symbol->Name, displacement);
  } else {
    function.clear();
    snprintf(text, sizeof text, "%s+0x%llx", module_name.c_str(), address - module.BaseOfImage);
  }
  return text;
}

// Walks the child's main thread, suspended while its box is up, as a debugger
// or crash reporter would: from where it waits, through the program's frames,
// to the thread's start, which must come right after them. Prints each frame,
// the number of the program's own, and the start reached ("none" if the walk
// ended elsewhere).
void WalkMainThread(const PROCESS_INFORMATION& process) {
  HMODULE program = nullptr;
  DWORD needed = 0;
  // Symbols are read only for the modules that the walk passes through.
  SymSetOptions(SymGetOptions() | SYMOPT_DEFERRED_LOADS);
  if (!EnumProcessModules(process.hProcess, &program, sizeof program, &needed) ||
      !SymInitialize(process.hProcess, nullptr, TRUE)) {
    printf("error=could not read the child's modules (%lu)\n", GetLastError());
    return;
  }
  SuspendThread(process.hThread);
  CONTEXT context = {};
  context.ContextFlags = CONTEXT_FULL;
  GetThreadContext(process.hThread, &context);
  STACKFRAME64 frame = {};
  frame.AddrPC = {context.Rip, 0, AddrModeFlat};
  frame.AddrStack = {context.Rsp, 0, AddrModeFlat};
  frame.AddrFrame = {context.Rbp, 0, AddrModeFlat};
  unsigned program_frames = 0;
  std::string reached = "none";
  for (int depth = 0; depth < 64 && StackWalk64(IMAGE_FILE_MACHINE_AMD64, process.hProcess, process.hThread, &frame,
                                                 &context, nullptr, SymFunctionTableAccess64, SymGetModuleBase64,
                                                 nullptr) && frame.AddrPC.Offset != 0;
       ++depth) {
    std::string function;
    printf("frame=%s\n", FrameName(process.hProcess, frame.AddrPC.Offset, function).c_str());
    if (SymGetModuleBase64(process.hProcess, frame.AddrPC.Offset) == reinterpret_cast<DWORD64>(program)) {
      ++program_frames;
    } else if (program_frames > 0) {
      if (function == "BaseThreadInitThunk" || function == "RtlUserThreadStart") reached = function;
      break;
    }
  }
  ResumeThread(process.hThread);
  SymCleanup(process.hProcess);
  printf("program_frames=%u\nthread_start=%s\n", program_frames, reached.c_str());
}

int Run(int argc, char** argv) {
  std::string root;
  bool with_root = false, refuse = false, hidden_station = false, walk_stack = false;
  DWORD linger_ms = 0;
  HANDLE held = INVALID_HANDLE_VALUE;
  int i = 2;
  for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
    if (strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
      root = argv[++i];
      with_root = true;
    } else if (strcmp(argv[i], "--linger") == 0 && i + 1 < argc) {
      linger_ms = strtoul(argv[++i], nullptr, 10);
    } else if (strcmp(argv[i], "--refuse") == 0) {
      refuse = true;
    } else if (strcmp(argv[i], "--hidden-station") == 0) {
      hidden_station = true;
    } else if (strcmp(argv[i], "--walk-stack") == 0) {
      walk_stack = true;
    } else if (strcmp(argv[i], "--hold") == 0 && i + 1 < argc) {
      held = CreateFileA(argv[++i], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      if (held == INVALID_HANDLE_VALUE) {
        printf("error=could not hold %s (%lu)\n", argv[i], GetLastError());
        return 2;
      }
    } else {
      printf("error=unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (i >= argc) {
    printf("error=no program to run\n");
    return 2;
  }
  printf("tool_thread=%04lx\n", GetCurrentThreadId());
  std::string command_line = Quoted(argv[i]);
  for (int j = i + 1; j < argc; ++j) command_line += " " + std::string(argv[j]);

  SessionManagerLock lock;
  if (refuse && !lock.Lock()) {
    printf("error=could not lock the Session Manager key\n");
    return 2;
  }
  std::string environment = with_root ? EnvironmentWithRoot(root) : std::string();
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  HDESK desktop = nullptr;
  if (hidden_station) {
    desktop = CreateHiddenDesktop();
    if (desktop == nullptr) {
      printf("error=could not make a hidden window station (%lu)\n", GetLastError());
      lock.Unlock();
      return 2;
    }
    startup.lpDesktop = const_cast<char*>(kHiddenDesktop);
  }
  PROCESS_INFORMATION process = {};
  const DWORD started = GetTickCount();
  if (!CreateProcessA(argv[i], &command_line[0], nullptr, nullptr, FALSE, 0,
                      with_root ? &environment[0] : nullptr, nullptr, &startup, &process)) {
    printf("error=could not start %s (%lu)\n", argv[i], GetLastError());
    lock.Unlock();
    return 2;
  }

  // Watch for the box until the child ends or the time runs out.
  BoxSearch search = {process.dwProcessId, nullptr};
  while (GetTickCount() - started < kBoxTimeoutMs) {
    if (desktop != nullptr)
      EnumDesktopWindows(desktop, FindBox, reinterpret_cast<LPARAM>(&search));
    else
      EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
    if (search.box != nullptr) break;
    if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) break;
  }

  if (search.box != nullptr) {
    DWORD still = 0;
    GetExitCodeProcess(process.hProcess, &still);
    char text[1024] = {};
    GetDlgItemTextA(search.box, 0xFFFF, text, sizeof text);
    BoxContents contents;
    EnumChildWindows(search.box, ReadChild, reinterpret_cast<LPARAM>(&contents));
    std::string buttons;
    for (const std::string& b : contents.buttons) buttons += (buttons.empty() ? "" : ",") + b;
    printf("box=yes\ncaption=%s\ntext=%s\nbuttons=%s\nicon=%s\nrunning_with_box=%s\n",
           Hex(WindowText(search.box)).c_str(), Hex(text).c_str(), buttons.c_str(), contents.icon ? "yes" : "no",
           still == STILL_ACTIVE ? "yes" : "no");
    if (walk_stack) WalkMainThread(process);
    fflush(stdout);
    if (WaitForSingleObject(process.hProcess, linger_ms) != WAIT_OBJECT_0)
      PostMessageA(search.box, WM_COMMAND, IDOK, 0);
  } else {
    printf("box=no\n");
  }

  const bool ended = WaitForSingleObject(process.hProcess, kExitTimeoutMs) == WAIT_OBJECT_0;
  const DWORD elapsed = GetTickCount() - started;
  if (!ended) TerminateProcess(process.hProcess, 99);
  DWORD exit_code = 0;
  GetExitCodeProcess(process.hProcess, &exit_code);
  printf("exit=%s\nms=%lu\n", ended ? std::to_string(exit_code).c_str() : "still running", elapsed);
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  if (refuse && !lock.Unlock()) {
    printf("error=could not unlock the Session Manager key\n");
    return 2;
  }
  return 0;
}

// Through the wide calls, which take paths longer than the ANSI calls' MAX_PATH.
std::wstring Wide(const char* text) {
  std::wstring wide(MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], static_cast<int>(wide.size()));
  return wide;
}

// The activation context of EXE's own manifest (resource 1), as the system
// builds it when it starts EXE; INVALID_HANDLE_VALUE, said, when there is none.
HANDLE ManifestContext(const char* exe) {
  ACTCTXA context = {};
  context.cbSize = sizeof context;
  context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  context.lpSource = exe;
  context.lpResourceName = MAKEINTRESOURCEA(1);
  HANDLE handle = CreateActCtxA(&context);
  if (handle == INVALID_HANDLE_VALUE) printf("error=no manifest read from %s (%lu)\n", exe, GetLastError());
  return handle;
}

// The run level that EXE's manifest requests, as the system reads it.
int PrintRunLevel(const char* exe) {
  HANDLE handle = ManifestContext(exe);
  if (handle == INVALID_HANDLE_VALUE) return 2;
  ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION level = {};
  SIZE_T needed = 0;
  const BOOL ok = QueryActCtxW(0, handle, nullptr, RunlevelInformationInActivationContext, &level,
                               sizeof level, &needed);
  ReleaseActCtx(handle);
  if (!ok) {
    printf("error=could not query the run level (%lu)\n", GetLastError());
    return 2;
  }
  printf("run_level=%d\nui_access=%lu\n", static_cast<int>(level.RunLevel), level.UiAccess);
  return 0;
}

// The DPI settings that EXE's manifest declares, each from the namespace that
// Windows reads it in, and how many assemblies its context holds: 1, EXE's
// own, when the manifest depends on none.
int PrintDpiSettings(const char* exe) {
  HANDLE handle = ManifestContext(exe);
  if (handle == INVALID_HANDLE_VALUE) return 2;
  const struct {
    const char* key;
    const wchar_t* name_space;
    const wchar_t* name;
  } settings[] = {
      {"dpi_aware", L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware"},
      {"dpi_awareness", L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness"},
  };
  for (const auto& setting : settings) {
    wchar_t value[128] = {};
    SIZE_T written = 0;
    if (QueryActCtxSettingsW(0, handle, setting.name_space, setting.name, value, ARRAYSIZE(value), &written))
      printf("%s=%ls\n", setting.key, value);
    else
      printf("%s=none (%lu)\n", setting.key, GetLastError());
  }
  std::vector<char> details(4096);
  SIZE_T needed = 0;
  if (QueryActCtxW(0, handle, nullptr, ActivationContextDetailedInformation, details.data(), details.size(), &needed))
    printf("assemblies=%lu\n", reinterpret_cast<ACTIVATION_CONTEXT_DETAILED_INFORMATION*>(details.data())->ulAssemblyCount);
  else
    printf("assemblies=unknown (%lu)\n", GetLastError());
  ReleaseActCtx(handle);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "run") == 0) return Run(argc, argv);
  if (argc == 3 && strcmp(argv[1], "attributes") == 0) {
    const DWORD attributes = GetFileAttributesW(Wide(argv[2]).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
      printf("missing\n");
    else
      printf("%08lx\n", attributes);
    return 0;
  }
  if (argc == 4 && strcmp(argv[1], "set-attributes") == 0) {
    if (!SetFileAttributesW(Wide(argv[2]).c_str(), strtoul(argv[3], nullptr, 16))) {
      printf("error=could not set attributes (%lu)\n", GetLastError());
      return 2;
    }
    return 0;
  }
  const bool guarded = argc == 2 && strcmp(argv[1], "guarded-box") == 0;
  if (guarded || (argc == 2 && strcmp(argv[1], "show-box") == 0)) {
    // The uninstaller's own guard, so that the control differs from it only in
    // having no manifest.
    if (guarded && !RestrictDllSearchToSystem32()) {
      printf("error=could not restrict DLL search\n");
      return 2;
    }
    MessageBoxA(nullptr, "A plain box", kCaption, MB_OK);
    return 0;
  }
  if (argc == 3 && strcmp(argv[1], "run-level") == 0) return PrintRunLevel(argv[2]);
  if (argc == 3 && strcmp(argv[1], "dpi-settings") == 0) return PrintDpiSettings(argv[2]);
  if (argc == 2 && strcmp(argv[1], "station-flags") == 0) return StationFlags();
  fprintf(stderr, "usage: e2e_tool run [--root VALUE] [--refuse] [--hold PATH] [--linger MS]\n"
                  "                    [--hidden-station] [--walk-stack] EXE [ARG...]\n"
                  "       e2e_tool attributes PATH\n       e2e_tool set-attributes PATH HEX\n"
                  "       e2e_tool show-box|guarded-box|station-flags\n       e2e_tool run-level|dpi-settings EXE\n");
  return 2;
}
