#include "loader.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace kestrav_test {
namespace {

namespace fs = std::filesystem;

fs::path executable_dir() {
#if defined(_WIN32)
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return fs::path(std::wstring(path, n)).parent_path();
#else
  return fs::read_symlink("/proc/self/exe").parent_path();
#endif
}

unsigned long process_id() {
#if defined(_WIN32)
  return GetCurrentProcessId();
#else
  return static_cast<unsigned long>(getpid());
#endif
}

}  // namespace

std::string built_library_path() {
  // KESTRAV_TEST_LIBRARY names another build of the library, next to the
  // tests, to run the same suite against.
  const char *other = std::getenv("KESTRAV_TEST_LIBRARY");
  return (executable_dir() / (other != nullptr ? other : KESTRAV_LIBRARY_FILE))
      .string();
}

Library::Library() {
  static std::atomic<unsigned> counter{0};
  const fs::path source = built_library_path();
  const fs::path copy =
      fs::temp_directory_path() /
      ("kestrav-" + std::to_string(process_id()) + "-" +
       std::to_string(counter++) + source.extension().string());
  fs::copy_file(source, copy, fs::copy_options::overwrite_existing);
  copy_path_ = copy.string();
#if defined(_WIN32)
  handle_ = reinterpret_cast<void *>(LoadLibraryW(copy.wstring().c_str()));
#else
  handle_ = dlopen(copy_path_.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
  if (handle_ == nullptr) {
    throw std::runtime_error("cannot load " + copy_path_);
  }
  resolve("request_upload_port_data", request_upload_port_data);
  resolve("stop_upload_port_data", stop_upload_port_data);
  resolve("parse_port_data", parse_port_data);
  resolve("parse_hid_game_controller_device", parse_hid_game_controller_device);
  resolve("convert_std_sbus_data", convert_std_sbus_data);
  resolve("encode_sbus_data_v1", encode_sbus_data_v1);
  resolve("encode_sbus_data_v2", encode_sbus_data_v2);
}

Library::~Library() {
#if defined(_WIN32)
  FreeLibrary(reinterpret_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
  std::error_code ignored;
  fs::remove(copy_path_, ignored);
}

void *Library::lookup(const char *name) {
#if defined(_WIN32)
  void *symbol = reinterpret_cast<void *>(
      GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
#else
  void *symbol = dlsym(handle_, name);
#endif
  if (symbol == nullptr) {
    throw std::runtime_error(std::string("missing export ") + name);
  }
  return symbol;
}

}  // namespace kestrav_test
